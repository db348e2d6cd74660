#include "Vant/Runtime/Layerer.h"
#include "Vant/Log.h"

#include <cstring>
#include <iostream>
#include <vector>

namespace Vant {
namespace Runtime {

namespace {

bool isMovement(const char* line) {
    return line[0] == 'G' && (line[1] == '0' || line[1] == '1') && line[2] == ' ';
}

}  // namespace

char* getNextGcodeLine(char* buffer, unsigned int size, FILE* file) {
    while (std::fgets(buffer, static_cast<int>(size), file) != nullptr) {
        size_t length = std::strlen(buffer);
        const bool complete = length > 0 && buffer[length - 1] == '\n';
        if (!complete && !std::feof(file)) {
            // Longer than the buffer: drop the rest of it too, so no piece of it is
            // ever taken for a line of its own.
            int c;
            while ((c = std::fgetc(file)) != EOF && c != '\n') {
            }
            continue;
        }
        while (length > 0 && (buffer[length - 1] == '\n' || buffer[length - 1] == '\r'))
            buffer[--length] = '\0';
        if (isMovement(buffer)) return buffer;
    }
    return nullptr;
}

unsigned int countGcode(std::string path) {
    FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) return 0;
    std::vector<char> buffer(Layerer::lineBufferSize);
    unsigned int count = 0;
    while (getNextGcodeLine(buffer.data(), Layerer::lineBufferSize, file) != nullptr) ++count;
    std::fclose(file);
    return count;
}

Layerer::Layerer(boost::asio::io_service& io, Driver::Driver& driver, std::string gcodePath)
    : io(io), driver(driver), gcodePath(std::move(gcodePath)) {}

Layerer::~Layerer() {
    if (gcode != nullptr) std::fclose(gcode);
}

void Layerer::post(std::function<void()> step) {
    auto self = shared_from_this();
    io.post([self, step] { step(); });
}

void Layerer::finish(double progress) {
    auto report = onProgress;
    post([report, progress] { report(progress); });
}

void Layerer::layer(std::function<bool(double)> onProgress) {
    this->onProgress = std::move(onProgress);
    gcodeCount = countGcode(gcodePath);
    Vant::LogLine() << "Layerer::layer() Gcode total count = " << gcodeCount;
    gcode = std::fopen(gcodePath.c_str(), "r");
    if (gcode == nullptr) {
        Vant::LogLine() << "Layerer::layer() error opening gcode file";
        finish(-2.0);
        return;
    }
    post([this] { pushNextLine(); });
}

void Layerer::pushNextLine() {
    char buffer[lineBufferSize];
    if (getNextGcodeLine(buffer, lineBufferSize, gcode) == nullptr) {
        Vant::LogLine() << "Layerer::pushNextLine() Layering complete.";
        finish(1.0);
        return;
    }
    auto self = shared_from_this();
    const unsigned int line = gcodeIt;
    driver.pushGcode(buffer, [self, line](const boost::system::error_code& error, double progress) {
        self->lineTaken(line, error, progress);
    });
}

void Layerer::lineTaken(unsigned int line, const boost::system::error_code& error, double progress) {
    // Only the acknowledgement (0.0), or a failed write, moves the job on; and only
    // once per line.
    if (progress != 0.0 || line != gcodeIt) return;
    if (error) {
        Vant::LogLine() << "Layerer::pushNextLine() driver error : " << error.message();
        driverError = error;
        gcodeIt = line + 1;
        finish(-2.0);
        return;
    }
    gcodeIt = line + 1;
    // While lines remain the share stays below 1.0: 1.0 means the file is done.
    double share = gcodeCount == 0 ? 0.0 : static_cast<double>(gcodeIt) / static_cast<double>(gcodeCount);
    if (share >= 1.0) share = 0.999999;
    Vant::LogLine() << "Layerer::pushNextLine() line pushed = " << gcodeIt << ", progress = " << share;
    if (!onProgress(share)) return;
    post([this] { pushNextLine(); });
}

}  // namespace Runtime
}  // namespace Vant

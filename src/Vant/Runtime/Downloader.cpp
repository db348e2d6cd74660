#include "Vant/Runtime/Downloader.h"
#include "Vant/Log.h"

#include <cctype>
#include <cstdio>
#include <iostream>
#include <memory>
#include <mutex>
#include <stdexcept>

namespace Vant {
namespace Runtime {

namespace {

// One transfer: the easy handle, the open target file and the caller's callback,
// owned by the posted handler and released when it ends.
struct Transfer {
    CURL* curl = nullptr;
    FILE* file = nullptr;
    std::function<bool(double)> onProgress;
    ~Transfer() {
        if (curl != nullptr) curl_easy_cleanup(curl);
        if (file != nullptr) std::fclose(file);
    }
};

void setOption(CURLcode code, const char* what) {
    if (code != CURLE_OK) throw std::runtime_error(std::string(what) + ": " + curl_easy_strerror(code));
}

void initializeCurl() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

Downloader::Downloader(std::chrono::seconds stallTime) : stallTime(stallTime) {
    initializeCurl();
}

Downloader::~Downloader() = default;

bool Downloader::acceptedLink(const std::string& url) {
    const std::string::size_type colon = url.find("://");
    if (colon == std::string::npos) return false;
    std::string scheme = url.substr(0, colon);
    for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return scheme == "http" || scheme == "https";
}

int Downloader::onCurlProgress(void* onProgressp, curl_off_t dltotal, curl_off_t dlnow, curl_off_t,
                               curl_off_t) {
    auto& onProgress = *static_cast<std::function<bool(double)>*>(onProgressp);
    double progress = dltotal == 0 ? 0.0 : static_cast<double>(dlnow) / static_cast<double>(dltotal);
    if (progress >= 1.0) progress = 0.999999;  // 1.0 comes only once the transfer has ended
    return onProgress(progress) ? 0 : 1;
}

void Downloader::download(boost::asio::io_service& io, std::string fromUrl, std::string toUrl,
                          std::function<bool(double)> onProgress) {
    auto transfer = std::make_shared<Transfer>();
    transfer->onProgress = std::move(onProgress);
    bool failed = false;
    try {
        // Only web links: a file:// or other link must not read the printer's files
        // or reach other services.
        if (!acceptedLink(fromUrl))
            throw std::runtime_error("only http and https links are accepted: " + fromUrl);
        transfer->curl = curl_easy_init();
        if (transfer->curl == nullptr) throw std::runtime_error("curl_easy_init failed");
        transfer->file = std::fopen(toUrl.c_str(), "wb");
        if (transfer->file == nullptr) throw std::runtime_error("cannot open " + toUrl + " for writing");
        CURL* curl = transfer->curl;
        setOption(curl_easy_setopt(curl, CURLOPT_URL, fromUrl.c_str()), "CURLOPT_URL");
#if LIBCURL_VERSION_NUM >= 0x075500
        setOption(curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https"), "CURLOPT_PROTOCOLS_STR");
#else
        setOption(
            curl_easy_setopt(curl, CURLOPT_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS)),
            "CURLOPT_PROTOCOLS");
#endif
        // Without a write function libcurl fwrite()s the body into this file.
        setOption(curl_easy_setopt(curl, CURLOPT_WRITEDATA, transfer->file), "CURLOPT_WRITEDATA");
        setOption(curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L), "CURLOPT_NOPROGRESS");
        setOption(curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer->onProgress),
                  "CURLOPT_XFERINFODATA");
        setOption(curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &Downloader::onCurlProgress),
                  "CURLOPT_XFERINFOFUNCTION");
        // Several threads run transfers: name resolution must not use signals.
        setOption(curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L), "CURLOPT_NOSIGNAL");
        const long stall = static_cast<long>(stallTime.count());
        setOption(curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L), "CURLOPT_LOW_SPEED_LIMIT");
        setOption(curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, stall), "CURLOPT_LOW_SPEED_TIME");
        setOption(curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, stall), "CURLOPT_CONNECTTIMEOUT");
    } catch (const std::exception& e) {
        Vant::LogLine() << "Downloader::download() error during initialization = " << e.what();
        failed = true;
    }

    io.post([transfer, failed, toUrl] {
        bool success = false;
        if (!failed) {
            try {
                const CURLcode res = curl_easy_perform(transfer->curl);
                success = res == CURLE_OK;
                if (!success) {
                    Vant::LogLine() << "Downloader::download() res = " << res << " (" << curl_easy_strerror(res)
                              << ")";
                }
            } catch (const std::exception& e) {
                Vant::LogLine() << "Downloader::download() error = " << e.what();
            }
        }
        const bool created = transfer->file != nullptr;
        // The whole body is on disk before the final report.
        if (transfer->file != nullptr && std::fclose(transfer->file) != 0) success = false;
        transfer->file = nullptr;
        curl_easy_cleanup(transfer->curl);
        transfer->curl = nullptr;
        // A failed transfer leaves nothing behind in the temporary folder.
        if (!success && created) std::remove(toUrl.c_str());
        try {
            transfer->onProgress(success ? 1.0 : -2.0);
        } catch (const std::exception& e) {
            Vant::LogLine() << "Downloader::download() progress callback threw = " << e.what();
        }
    });
}

}  // namespace Runtime
}  // namespace Vant

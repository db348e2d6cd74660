// Whatever the reader accepts, written compact and read again, must write the very
// same text; its indented text must read back to it as well. Errors of the reader are
// fine; hangs (libFuzzer's -timeout) and crashes are not.
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <string>

#include "kel/var.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::cerr.rdbuf(nullptr);  // the reader logs every refused text
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kel::var value;
    try {
        value = kel::var::fromJsonString(std::string(reinterpret_cast<const char*>(data), size));
    } catch (const std::exception&) {
        return 0;
    }
    const std::string once = value.toJsonString();
    try {
        if (kel::var::fromJsonString(once).toJsonString() != once) std::abort();
        if (kel::var::fromJsonString(value.toJsonString(4)).toJsonString() != once) std::abort();
    } catch (const std::exception&) {
        std::abort();  // written text that does not read back
    }
    return 0;
}

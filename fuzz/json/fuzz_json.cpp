// Whatever the reader accepts, written compact and read again, must write the very
// same text: the text is a fixpoint after one round. The indented text of the value
// must read back to it as well. Errors of the reader are fine; hangs and crashes
// are not (libFuzzer's -timeout catches a reader that never ends).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <string>

#include "kel/var.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The reader logs every refused text on standard error; keep the fuzzer's own
    // report readable and its speed up.
    std::cerr.rdbuf(nullptr);
    return 0;
}

namespace {

[[noreturn]] void fail(const char* what, const std::string& a, const std::string& b) {
    std::fprintf(stderr, "%s\n--- first:\n%s\n--- second:\n%s\n", what, a.c_str(), b.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    kel::var value;
    try {
        value = kel::var::fromJsonString(input);
    } catch (const std::exception&) {
        return 0;
    }
    const std::string once = value.toJsonString();
    std::string twice;
    std::string indented;
    try {
        twice = kel::var::fromJsonString(once).toJsonString();
        indented = kel::var::fromJsonString(value.toJsonString(4)).toJsonString();
    } catch (const std::exception& e) {
        fail("written text does not read back", once, e.what());
    }
    if (twice != once) fail("text is not a fixpoint", once, twice);
    if (indented != once) fail("indented text reads back differently", once, indented);
    return 0;
}

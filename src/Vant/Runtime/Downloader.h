// Vant::Runtime::Downloader: fetches one model file from an http or https link into a
// local file with libcurl. download() returns at once; the transfer runs as one
// handler posted on the I/O service and blocks that pool thread until it ends, so
// a stalled transfer is aborted after `stallTime` below 1 byte per second.
//
// clang-format off
//   caller (runner) --download()--> post --> I/O thread: curl_easy_perform
//                                             |-- onProgress(0 .. 0.999999), repeatedly
//                                             `-- onProgress(1.0) or onProgress(-2.0), once
// clang-format on
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include <curl/curl.h>
#include <boost/asio/io_service.hpp>

namespace Vant {
namespace Runtime {

class Downloader {
public:
    // A transfer that moves less than 1 byte per second for stallTime (and a
    // connection that takes longer than that) fails.
    explicit Downloader(std::chrono::seconds stallTime = std::chrono::seconds(60));
    virtual ~Downloader();

    // Fetches fromUrl (http or https only) into the local file toUrl. onProgress gets
    // 0 to 0.999999 during the transfer (returning false aborts it) and then exactly
    // one final 1.0 (success) or -2.0 (failure), all on the I/O thread.
    void download(boost::asio::io_service& io, std::string fromUrl, std::string toUrl,
                  std::function<bool(double)> onProgress);

    // libcurl's transfer-progress callback; onProgressp is the caller's callback.
    static int onCurlProgress(void* onProgressp, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal,
                              curl_off_t ulnow);

    // True for links whose scheme is http or https (any letter case).
    static bool acceptedLink(const std::string& url);

private:
    std::chrono::seconds stallTime;
};

}  // namespace Runtime
}  // namespace Vant

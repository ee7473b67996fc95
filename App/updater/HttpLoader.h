#pragma once

// The updater's HTTP: one GET at a time, run to its end on the calling thread.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "App/updater/UpdateErrors.h"

namespace zarvo {

struct HttpRequest {
    std::string url;
    // Time allowed to connect, and for the transfer to stand still, before it fails.
    double timeoutSeconds = 15;
    // Time allowed for the whole request, redirects included.
    double totalSeconds = 300;
    std::vector<std::pair<std::string, std::string>> headers;
    // A body longer than this is not read further and the answer is marked `tooLarge`.
    uint64_t maxBodyBytes = 0;
    // When set, a successful answer's body is written to this file instead of `body`.
    std::optional<std::filesystem::path> bodyFile;
};
struct HttpResponse {
    long status = 0;
    std::string body;
    bool tooLarge = false;
};
// Called with the fraction received so far (0 to 1) when the length is known; returning false
// cancels the transfer.
using ProgressHandler = std::function<bool(double fraction)>;
// Runs a request to its end on the calling thread (a worker, never the main thread).
using DataLoader =
    std::function<UpdateOutcome<HttpResponse>(const HttpRequest&, const ProgressHandler&)>;

// Whether the updater may fetch from an address: https, or plain http to this computer
// (127.0.0.1, ::1, localhost) alone.
bool isPermittedURL(const std::string& url);

// HTTP through libcurl: permitted addresses only, each redirect checked before it is followed;
// an error answer's body is not kept, and read no further than a few KiB.
UpdateOutcome<HttpResponse> curlDataLoader(const HttpRequest& request,
                                           const ProgressHandler& progress);

}  // namespace zarvo

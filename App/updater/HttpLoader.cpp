#include "App/updater/HttpLoader.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>

namespace zarvo {

namespace {

// Largest part of an error answer read before the transfer stops: only its status matters.
constexpr uint64_t kMaxErrorBodyBytes = 16 << 10;
constexpr int kMaxRedirects = 10;

struct Transfer {
    CURL* handle = nullptr;
    const HttpRequest* request = nullptr;
    const ProgressHandler* progress = nullptr;
    HttpResponse response;
    FILE* file = nullptr;
    uint64_t received = 0;
    uint64_t errorBytes = 0;
    bool fileFailed = false;
    bool errorCut = false;
};

bool isSuccess(long status) {
    return status >= 200 && status <= 299;
}

bool isRedirect(long status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

size_t receive(char* data, size_t size, size_t count, void* context) {
    auto* transfer = static_cast<Transfer*>(context);
    const size_t bytes = size * count;
    long status = 0;
    curl_easy_getinfo(transfer->handle, CURLINFO_RESPONSE_CODE, &status);
    if (!isSuccess(status)) {
        // An error page or a redirect's body: not kept, and not read without end.
        transfer->errorBytes += bytes;
        if (transfer->errorBytes > kMaxErrorBodyBytes) {
            transfer->errorCut = true;
            return 0;
        }
        return bytes;
    }
    transfer->received += bytes;
    if (transfer->received > transfer->request->maxBodyBytes) {
        transfer->response.tooLarge = true;
        return 0;
    }
    if (transfer->file) {
        if (std::fwrite(data, 1, bytes, transfer->file) != bytes) {
            transfer->fileFailed = true;
            return 0;
        }
    } else {
        transfer->response.body.append(data, bytes);
    }
    return bytes;
}

int transferProgress(void* context, curl_off_t total, curl_off_t now, curl_off_t, curl_off_t) {
    auto* transfer = static_cast<Transfer*>(context);
    if (!*transfer->progress) {
        return 0;
    }
    long status = 0;
    curl_easy_getinfo(transfer->handle, CURLINFO_RESPONSE_CODE, &status);
    if (status != 0 && !isSuccess(status)) {
        return (*transfer->progress)(0) ? 0 : 1;  // a redirect's body is not the download's
    }
    const double fraction =
        total > 0 ? std::clamp(static_cast<double>(now) / static_cast<double>(total), 0.0, 1.0)
                  : 0.0;
    return (*transfer->progress)(fraction) ? 0 : 1;
}

std::string lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// One part of a URL; none when absent or when the URL does not parse.
std::optional<std::string> urlPart(const std::string& url, CURLUPart part) {
    CURLU* parsed = curl_url();
    if (!parsed) {
        return std::nullopt;
    }
    std::optional<std::string> result;
    char* value = nullptr;
    if (curl_url_set(parsed, CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK &&
        curl_url_get(parsed, part, &value, 0) == CURLUE_OK && value) {
        result = value;
    }
    curl_free(value);
    curl_url_cleanup(parsed);
    return result;
}

}  // namespace

bool isPermittedURL(const std::string& url) {
    const auto scheme = urlPart(url, CURLUPART_SCHEME);
    const auto host = urlPart(url, CURLUPART_HOST);
    if (!scheme || !host || host->empty()) {
        return false;
    }
    if (lowercase(*scheme) == "https") {
        return true;
    }
    const std::string name = lowercase(*host);
    return lowercase(*scheme) == "http" &&
           (name == "127.0.0.1" || name == "[::1]" || name == "::1" || name == "localhost");
}

UpdateOutcome<HttpResponse> curlDataLoader(const HttpRequest& request,
                                           const ProgressHandler& progress) {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    if (!isPermittedURL(request.url)) {
        return UpdateFailure(UpdaterError::insecureAddress(request.url));
    }
    Transfer transfer;
    transfer.request = &request;
    transfer.progress = &progress;
    transfer.handle = curl_easy_init();
    if (!transfer.handle) {
        return UpdateFailure(SystemFailure{"Impossible de préparer la requête HTTP.",
                                           "Could not prepare the HTTP request."});
    }
    if (request.bodyFile) {
        transfer.file = std::fopen(request.bodyFile->c_str(), "wbe");
        if (!transfer.file) {
            curl_easy_cleanup(transfer.handle);
            return UpdateFailure(diskFailure(request.bodyFile->string(), std::strerror(errno)));
        }
    }
    CURL* curl = transfer.handle;
    curl_slist* headers = nullptr;
    for (const auto& [name, value] : request.headers) {
        headers = curl_slist_append(headers, (name + ": " + value).c_str());
    }
    char errorText[CURL_ERROR_SIZE] = {0};
    // The stall time-out is how long the server may stay silent: to connect, and between
    // bytes; the total one bounds the whole request, every redirect included.
    const long timeoutMs = std::max(1L, std::lround(request.timeoutSeconds * 1000));
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(request.totalSeconds));
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    // Redirects are followed here, one at a time, so that each address is checked first.
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, timeoutMs);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME,
                     std::max(1L, std::lround(std::ceil(request.timeoutSeconds))));
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, receive);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, transferProgress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);

    std::string url = request.url;
    CURLcode code = CURLE_OK;
    long status = 0;
    std::optional<UpdateFailure> refused;
    for (int redirects = 0;; ++redirects) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            code = CURLE_OPERATION_TIMEDOUT;
            break;
        }
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(left));
        transfer.errorBytes = 0;
        transfer.errorCut = false;
        code = curl_easy_perform(curl);
        status = 0;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        if (!isRedirect(status) || (code != CURLE_OK && !transfer.errorCut)) {
            break;
        }
        char* next = nullptr;
        curl_easy_getinfo(curl, CURLINFO_REDIRECT_URL, &next);
        if (!next || redirects == kMaxRedirects) {
            break;  // a redirect without a place to go, or too many: its status stands
        }
        url = next;
        if (!isPermittedURL(url)) {
            refused = UpdaterError::insecureAddress(url);
            break;
        }
    }
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    bool closeFailed = false;
    if (transfer.file) {
        closeFailed = std::fclose(transfer.file) != 0;
    }
    if (refused) {
        return *refused;
    }
    transfer.response.status = status;
    if (transfer.response.tooLarge) {
        return transfer.response;
    }
    if (transfer.fileFailed || closeFailed) {
        return UpdateFailure(diskFailure(request.bodyFile->string(), std::strerror(errno)));
    }
    // An error answer cut at its size limit still answers with its status.
    if (status != 0 && !isSuccess(status) && (code == CURLE_OK || transfer.errorCut)) {
        transfer.response.body.clear();
        return transfer.response;
    }
    if (code == CURLE_OPERATION_TIMEDOUT) {
        return UpdateFailure(SystemFailure{"Le serveur de mise à jour n’a pas répondu à temps.",
                                           "The update server did not answer in time."});
    }
    if (code == CURLE_ABORTED_BY_CALLBACK) {
        return UpdateFailure(
            SystemFailure{"Le téléchargement a été annulé.", "The download was cancelled."});
    }
    if (code != CURLE_OK) {
        const std::string detail = errorText[0] ? errorText : curl_easy_strerror(code);
        return UpdateFailure(
            SystemFailure{"Impossible de joindre le serveur de mise à jour : " + detail,
                          "Could not reach the update server: " + detail});
    }
    return transfer.response;
}

}  // namespace zarvo

#include "mcp/RecorderWire.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <memory>

namespace zarvo::mcp {

using json = nlohmann::json;

namespace {

// An answer larger than this is not the application's tree.
constexpr size_t kLargestBody = 64u << 20;

void appendPadded(std::vector<uint8_t>& out, const std::string& text) {
    // A NUL inside the text would end the string for the reader, so the text stops there.
    const std::string written = text.substr(0, text.find('\0'));
    out.insert(out.end(), written.begin(), written.end());
    const size_t padding = 4 - written.size() % 4;
    out.insert(out.end(), padding, 0);
}

void appendBigEndian(std::vector<uint8_t>& out, uint32_t word) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<uint8_t>(word >> shift));
    }
}

size_t collectBody(char* data, size_t size, size_t count, void* target) {
    auto* body = static_cast<std::string*>(target);
    const size_t length = size * count;
    if (body->size() + length > kLargestBody) {
        return 0;  // makes the transfer fail
    }
    body->append(data, length);
    return length;
}

struct CurlDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};

}  // namespace

std::vector<uint8_t> encodeOscMessage(const std::string& address,
                                      const std::vector<OscArgument>& arguments) {
    std::string tags = ",";
    for (const OscArgument& argument : arguments) {
        tags += std::holds_alternative<int32_t>(argument) ? 'i'
                : std::holds_alternative<float>(argument) ? 'f'
                                                          : 's';
    }
    std::vector<uint8_t> out;
    appendPadded(out, address);
    appendPadded(out, tags);
    for (const OscArgument& argument : arguments) {
        if (const auto* integer = std::get_if<int32_t>(&argument)) {
            appendBigEndian(out, static_cast<uint32_t>(*integer));
        } else if (const auto* real = std::get_if<float>(&argument)) {
            appendBigEndian(out, std::bit_cast<uint32_t>(*real));
        } else {
            appendPadded(out, std::get<std::string>(argument));
        }
    }
    return out;
}

void sendOscMessage(int port, const std::string& address,
                    const std::vector<OscArgument>& arguments) {
    const std::vector<uint8_t> message = encodeOscMessage(address, arguments);
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<uint16_t>(port));
    ::sendto(fd, message.data(), message.size(), 0, reinterpret_cast<const sockaddr*>(&to),
             sizeof to);
    ::close(fd);
}

std::optional<json> httpGet(int port, const std::string& path, double timeoutSeconds) {
    if (port < 1 || port > 65535) {
        return std::nullopt;  // port 0 would mean the default HTTP port to libcurl
    }
    const std::unique_ptr<CURL, CurlDeleter> handle(curl_easy_init());
    if (!handle) {
        return std::nullopt;
    }
    CURL* curl = handle.get();
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + path;
    const long timeoutMs = std::max(1L, std::lround(timeoutSeconds * 1000.0));
    std::string body;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http");
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, timeoutMs);
    curl_easy_setopt(curl, CURLOPT_VERBOSE, 0L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collectBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    if (curl_easy_perform(curl) != CURLE_OK) {
        return std::nullopt;
    }
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    if (status != 200) {
        return std::nullopt;
    }
    json parsed = json::parse(body, nullptr, /*allow_exceptions=*/false);
    if (parsed.is_discarded()) {
        return std::nullopt;
    }
    return parsed;
}

}  // namespace zarvo::mcp

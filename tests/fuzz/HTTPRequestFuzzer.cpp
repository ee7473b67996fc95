// Feeds arbitrary request bytes to the OSCQuery server's HTTP side, answered by a stand-in for
// the address tree that gives every status the server gives and echoes what it was asked in a
// JSON body. The decoded path and attribute must be UTF-8 (the path never empty), so that the
// body always serialises; every answer must be a complete HTTP/1.1 message: a known status line,
// the fixed header lines, a Content-Length that matches the body, and a body that is JSON
// whenever there is one.

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "platform/Log.h"
#include "platform/Text.h"
#include "remote/OSCQueryHttp.h"

namespace {

using nlohmann::json;
using zarvo::OSCQueryResponse;

[[noreturn]] void fail(const char* what, const std::string& text) {
    std::fprintf(stderr, "malformed answer (%s):\n%s\n", what, text.c_str());
    std::abort();
}

// The stand-in for the tree: the status is chosen by the path's length.
OSCQueryResponse respond(const std::string& path, const std::optional<std::string>& attribute) {
    if (path.empty() || !zarvo::isValidUtf8(path))
        fail("decoded path", path);
    if (attribute && !zarvo::isValidUtf8(*attribute))
        fail("decoded attribute", *attribute);
    switch (path.size() % 4) {
        case 0:
            return {404, std::nullopt};
        case 1:
            return {204, std::nullopt};
        case 2:
            return {400, std::nullopt};
        default:
            break;
    }
    json body = {{"FULL_PATH", path}};
    if (attribute)
        body[*attribute] = true;
    return {200, std::move(body)};
}

constexpr std::string_view kHeaderTail =
    "\r\nContent-Type: application/json; charset=utf-8\r\n"
    "Access-Control-Allow-Origin: *\r\n"
    "Content-Length: ";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The only line the HTTP side logs is a body that failed to serialise.
    static const bool silenced = [] {
        zarvo::setLogSink([](const std::string& line) { fail("logged", line); });
        return true;
    }();
    (void)silenced;

    const std::string_view request(reinterpret_cast<const char*>(data), size);
    const std::string answer = zarvo::answerOSCQueryRequest(request, respond);

    if (answer.rfind("HTTP/1.1 ", 0) != 0)
        fail("status line", answer);
    const std::string_view status = std::string_view(answer).substr(9, answer.find("\r\n") - 9);
    if (status != "200 OK" && status != "204 No Content" && status != "400 Bad Request" &&
        status != "404 Not Found" && status != "405 Method Not Allowed")
        fail("status", answer);
    const size_t tail = answer.find("\r\n");
    if (answer.compare(tail, kHeaderTail.size(), kHeaderTail) != 0)
        fail("header lines", answer);
    const size_t lengthAt = tail + kHeaderTail.size();
    const size_t lengthEnd = answer.find("\r\nConnection: close\r\n\r\n", lengthAt);
    if (lengthEnd == std::string::npos)
        fail("header end", answer);
    size_t length = 0;
    const auto parsed =
        std::from_chars(answer.data() + lengthAt, answer.data() + lengthEnd, length);
    if (parsed.ec != std::errc() || parsed.ptr != answer.data() + lengthEnd)
        fail("Content-Length value", answer);
    const size_t bodyAt = lengthEnd + std::string_view("\r\nConnection: close\r\n\r\n").size();
    if (answer.size() - bodyAt != length)
        fail("Content-Length does not match the body", answer);
    if (length > 0 && !json::accept(answer.substr(bodyAt)))
        fail("body is not JSON", answer);
    if (length > 0 && status != "200 OK")
        fail("a body with a status that has none", answer);
    if (request.rfind("HEAD ", 0) == 0 && length != 0)
        fail("HEAD answered with a body", answer);
    return 0;
}

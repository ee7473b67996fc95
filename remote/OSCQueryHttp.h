#pragma once

// The HTTP side of the OSCQuery server: what one request asks for, read from its raw bytes, and
// the bytes of the answer. No sockets and no address tree, so that the decoding can be fuzzed
// on its own.

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace zarvo {

// What a request asks for.
struct OSCQueryRequest {
    // 400 when the request line holds no target, 405 when the method is neither GET nor HEAD;
    // 0 when the request is to be answered.
    int refusal = 0;
    bool isHead = false;
    // The target without its query, percent-decoded when that gives UTF-8 and as sent
    // otherwise; "/" for an empty target.
    std::string path;
    // The query's first name, as sent (its value and any further names are ignored).
    std::optional<std::string> attribute;
};

// A status and an optional JSON body.
struct OSCQueryResponse {
    int status = 200;
    std::optional<nlohmann::json> body;
};

// Reads the request line of the raw bytes. Bytes that are not UTF-8 are read as ISO 8859-1, so
// the path and the attribute are always UTF-8.
OSCQueryRequest parseOSCQueryRequest(std::string_view bytes);

// The bytes sent for a status and an optional JSON body. A body that cannot be serialised (a
// string that is not UTF-8) is logged and sent empty, with the status unchanged.
std::string httpMessage(int status, const std::optional<nlohmann::json>& body);

// Answers a decoded path and attribute.
using OSCQueryResponder = std::function<OSCQueryResponse(
    const std::string& path, const std::optional<std::string>& attribute)>;

// The complete answer to the raw bytes of one request: a refusal, or what `respond` gives,
// without its body for HEAD.
std::string answerOSCQueryRequest(std::string_view bytes, const OSCQueryResponder& respond);

}  // namespace zarvo

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

// The value of a header of the request, its name compared without regard to case, trimmed of
// blanks; none when the request has no such header (the first of several is taken).
std::optional<std::string> httpHeaderValue(std::string_view bytes, std::string_view name);

// The bytes sent for a status and a body of the given media type (the length always says the
// body's size; a HEAD answer passes `withBody` false).
std::string httpMessage(int status, std::string_view contentType, std::string_view body,
                        bool withBody = true);

// What the server does with a request that asks to become a WebSocket.
struct WebSocketUpgrade {
    bool accepted = false;
    // The whole answer: "101 Switching Protocols" when accepted, otherwise a refusal (400 for a
    // malformed handshake, 403 for a foreign origin, 426 for another protocol version).
    std::string answer;
};

// None when the request does not ask for a WebSocket (a GET with "Upgrade: websocket"); else
// the answer. A request carrying an "Origin" header is accepted only from the server's own
// origin, "http://" followed by the "Host" header it was sent with; without "Origin" (a program
// rather than a web page) it is accepted.
std::optional<WebSocketUpgrade> webSocketUpgradeFor(std::string_view bytes);

// A command a WebSocket client sends in a text frame: {"COMMAND": "LISTEN", "DATA": "/path"}.
struct OSCQueryCommand {
    std::string command;
    std::string path;
};
// The command of a text frame; none when it is not a JSON object whose "COMMAND" and "DATA"
// are strings.
std::optional<OSCQueryCommand> oscQueryCommand(std::string_view text);

}  // namespace zarvo

#include "remote/OSCQueryHttp.h"

#include <vector>

#include "platform/Log.h"
#include "platform/Text.h"
#include "remote/WebSocketFrames.h"

namespace zarvo {
namespace {

using nlohmann::json;

// Turns ISO 8859-1 bytes into UTF-8 text.
std::string latin1ToUtf8(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size() * 2);
    for (char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            text.push_back(c);
        } else {
            text.push_back(static_cast<char>(0xC0 | (byte >> 6)));
            text.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
        }
    }
    return text;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Percent-decodes the text; nothing when an escape is malformed or the result is not UTF-8.
std::optional<std::string> percentDecoded(std::string_view text) {
    std::string decoded;
    decoded.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            decoded.push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size())
            return std::nullopt;
        const int high = hexDigit(text[i + 1]);
        const int low = hexDigit(text[i + 2]);
        if (high < 0 || low < 0)
            return std::nullopt;
        decoded.push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    if (!isValidUtf8(decoded))
        return std::nullopt;
    return decoded;
}

// The request line's words, split at every single space (two spaces make an empty word).
std::vector<std::string_view> requestLineWords(std::string_view text) {
    const std::string_view requestLine = text.substr(0, text.find("\r\n"));
    std::vector<std::string_view> words;
    size_t start = 0;
    for (;;) {
        const size_t space = requestLine.find(' ', start);
        words.push_back(requestLine.substr(
            start, space == std::string_view::npos ? std::string_view::npos : space - start));
        if (space == std::string_view::npos)
            break;
        start = space + 1;
    }
    return words;
}

// Splits the target at "?" into the request's path and attribute.
void readTarget(std::string_view target, OSCQueryRequest& request) {
    if (const size_t question = target.find('?'); question != std::string_view::npos) {
        std::string_view query = target.substr(question + 1);
        query = query.substr(0, query.find('&'));
        query = query.substr(0, query.find('='));
        request.attribute = std::string(query);
        target = target.substr(0, question);
    }
    request.path = percentDecoded(target).value_or(std::string(target));
    if (request.path.empty())
        request.path = "/";
}

const char* reasonPhrase(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 204:
            return "No Content";
        case 400:
            return "Bad Request";
        case 404:
            return "Not Found";
        case 101:
            return "Switching Protocols";
        case 403:
            return "Forbidden";
        case 405:
            return "Method Not Allowed";
        case 426:
            return "Upgrade Required";
        default:
            return "Error";
    }
}

std::string serializedBody(const std::optional<json>& body) {
    if (!body)
        return {};
    try {
        return body->dump();
    } catch (const json::exception& error) {
        logLine(std::string("OSCQuery: JSON serialization failed: ") + error.what());
        return {};
    }
}

std::string lowerAscii(std::string_view text) {
    std::string lower(text);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return lower;
}

std::string_view trimmedBlanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

// Whether a comma-separated header value holds the token, without regard to case.
bool holdsToken(std::string_view value, std::string_view token) {
    const std::string lower = lowerAscii(value);
    const std::string wanted = lowerAscii(token);
    size_t start = 0;
    for (;;) {
        const size_t comma = lower.find(',', start);
        const std::string_view item = trimmedBlanks(std::string_view(lower).substr(
            start, comma == std::string::npos ? std::string::npos : comma - start));
        if (item == wanted)
            return true;
        if (comma == std::string::npos)
            return false;
        start = comma + 1;
    }
}

}  // namespace

OSCQueryRequest parseOSCQueryRequest(std::string_view bytes) {
    const std::string text = isValidUtf8(bytes) ? std::string(bytes) : latin1ToUtf8(bytes);
    const std::vector<std::string_view> words = requestLineWords(text);
    OSCQueryRequest request;
    if (words.size() < 2) {
        request.refusal = 400;
        return request;
    }
    const std::string_view method = words[0];
    if (method != "GET" && method != "HEAD") {
        request.refusal = 405;
        return request;
    }
    request.isHead = method == "HEAD";
    readTarget(words[1], request);
    return request;
}

std::string httpMessage(int status, const std::optional<json>& body) {
    const std::string bodyBytes = serializedBody(body);
    std::string message = "HTTP/1.1 " + std::to_string(status) + " " + reasonPhrase(status) +
                          "\r\n"
                          "Content-Type: application/json; charset=utf-8\r\n"
                          "Access-Control-Allow-Origin: *\r\n"
                          "Content-Length: " +
                          std::to_string(bodyBytes.size()) +
                          "\r\n"
                          "Connection: close\r\n\r\n";
    message += bodyBytes;
    return message;
}

std::string answerOSCQueryRequest(std::string_view bytes, const OSCQueryResponder& respond) {
    const OSCQueryRequest request = parseOSCQueryRequest(bytes);
    if (request.refusal != 0)
        return httpMessage(request.refusal, std::nullopt);
    OSCQueryResponse response = respond(request.path, request.attribute);
    if (request.isHead)
        response.body.reset();
    return httpMessage(response.status, response.body);
}

}  // namespace zarvo

namespace zarvo {

std::optional<std::string> httpHeaderValue(std::string_view bytes, std::string_view name) {
    std::string_view header = bytes.substr(0, bytes.find("\r\n\r\n"));
    const std::string wanted = lowerAscii(name);
    size_t lineStart = header.find("\r\n");
    while (lineStart != std::string_view::npos) {
        lineStart += 2;
        const size_t lineEnd = header.find("\r\n", lineStart);
        const std::string_view line =
            header.substr(lineStart, lineEnd == std::string_view::npos ? std::string_view::npos
                                                                       : lineEnd - lineStart);
        const size_t colon = line.find(':');
        if (colon != std::string_view::npos && lowerAscii(line.substr(0, colon)) == wanted)
            return std::string(trimmedBlanks(line.substr(colon + 1)));
        lineStart = lineEnd;
    }
    return std::nullopt;
}

std::string httpMessage(int status, std::string_view contentType, std::string_view body,
                        bool withBody) {
    std::string message = "HTTP/1.1 " + std::to_string(status) + " " + reasonPhrase(status) +
                          "\r\nContent-Type: " + std::string(contentType) +
                          "\r\nContent-Length: " + std::to_string(body.size()) +
                          "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n";
    if (withBody)
        message += body;
    return message;
}

std::optional<WebSocketUpgrade> webSocketUpgradeFor(std::string_view bytes) {
    const OSCQueryRequest request = parseOSCQueryRequest(bytes);
    if (request.refusal != 0 || request.isHead)
        return std::nullopt;
    const auto upgrade = httpHeaderValue(bytes, "Upgrade");
    if (!upgrade || !holdsToken(*upgrade, "websocket"))
        return std::nullopt;

    const auto refusal = [](int status) {
        return WebSocketUpgrade{false, httpMessage(status, "text/plain; charset=utf-8", "")};
    };
    const auto connection = httpHeaderValue(bytes, "Connection");
    const auto key = httpHeaderValue(bytes, "Sec-WebSocket-Key");
    const auto host = httpHeaderValue(bytes, "Host");
    if (!connection || !holdsToken(*connection, "upgrade") || !key || key->empty() || !host)
        return refusal(400);
    if (httpHeaderValue(bytes, "Sec-WebSocket-Version") != "13") {
        WebSocketUpgrade answer = refusal(426);
        answer.answer.insert(answer.answer.find("\r\n") + 2, "Sec-WebSocket-Version: 13\r\n");
        return answer;
    }
    // A page of another site could otherwise drive the recorder from a visitor's browser.
    if (const auto origin = httpHeaderValue(bytes, "Origin"))
        if (lowerAscii(*origin) != "http://" + lowerAscii(*host))
            return refusal(403);
    return WebSocketUpgrade{true,
                            "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                            "Connection: Upgrade\r\nSec-WebSocket-Accept: " +
                                webSocketAcceptKey(*key) + "\r\n\r\n"};
}

std::optional<OSCQueryCommand> oscQueryCommand(std::string_view text) {
    const json command = json::parse(text, nullptr, false);
    if (!command.is_object())
        return std::nullopt;
    const auto name = command.find("COMMAND");
    const auto data = command.find("DATA");
    if (name == command.end() || data == command.end() || !name->is_string() || !data->is_string())
        return std::nullopt;
    return OSCQueryCommand{name->get<std::string>(), data->get<std::string>()};
}

}  // namespace zarvo

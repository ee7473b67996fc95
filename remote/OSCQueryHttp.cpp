#include "remote/OSCQueryHttp.h"

#include <vector>

#include "platform/Log.h"
#include "platform/Text.h"

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
        case 405:
            return "Method Not Allowed";
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

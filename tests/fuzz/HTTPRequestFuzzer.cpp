// Feeds arbitrary request bytes to the OSCQuery server's request handling, on a server with a few
// addresses whose values are read on a main queue run by a thread of its own. Every answer must
// be a complete HTTP/1.1 message: a known status line, the fixed header lines, a Content-Length
// that matches the body, and a body that is JSON whenever there is one.

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

#include <nlohmann/json.hpp>

#include "platform/Log.h"
#include "platform/RunLoop.h"
#include "remote/OSCQueryServer.h"

namespace {

using nlohmann::json;
using zarvo::OSCQueryServer;

[[noreturn]] void fail(const char* what, const std::string& answer) {
    std::fprintf(stderr, "malformed answer (%s):\n%s\n", what, answer.c_str());
    std::abort();
}

// The server, and the main queue its value providers run on; both live as long as the process.
OSCQueryServer& server() {
    static OSCQueryServer* const instance = [] {
        zarvo::SetLogSink([](const std::string&) {});  // the time-out and provider lines
        static std::promise<zarvo::RunLoop*> started;
        std::thread([] {
            // Made on the thread that runs it, and never destroyed: it runs until the process ends.
            auto* loop = new zarvo::RunLoop;
            started.set_value(loop);
            loop->run();
        }).detach();
        auto* made = new OSCQueryServer(*started.get_future().get());
        made->setServerName("Fuzz");
        made->setOscPort(9000);
        made->registerOSCAddress("/mix/level", "f", "Level", 3,
                                 json::array({{{"MIN", 0.0}, {"MAX", 1.0}}}),
                                 [] { return std::optional<json>(json::array({0.5})); });
        made->registerOSCAddress("/mix/mute", "i", "", 0, json::array(),
                                 [] { return std::optional<json>(); });
        made->registerOSCAddress("/scene/name", "s", "Scene name", 1,
                                 json::array({{{"VALS", {"a", "b"}}}}),
                                 []() -> std::optional<json> { throw std::runtime_error("gone"); });
        made->registerOSCAddress("/caf\xC3\xA9/r\xC3\xA9glage", "f", "Accented", 2);
        made->registerOSCAddress("/a/b/c/d/e", "T", "Deep");
        return made;
    }();
    return *instance;
}

constexpr std::string_view kHeaderTail =
    "\r\nContent-Type: application/json; charset=utf-8\r\n"
    "Access-Control-Allow-Origin: *\r\n"
    "Content-Length: ";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view request(reinterpret_cast<const char*>(data), size);
    const std::string answer = server().responseForRequest(request);

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

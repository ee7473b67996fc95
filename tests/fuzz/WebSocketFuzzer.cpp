// Feeds arbitrary bytes to what the OSCQuery server reads from WebSocket clients: the upgrade
// handshake, the frames (cut into pieces at places the input chooses) and the JSON commands of
// text messages. Whatever arrives, a message never passes the size limit, a text message is
// always UTF-8, a refused reader delivers nothing more and holds no bytes, and every handshake
// answer is a whole HTTP header.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Text.h"
#include "remote/OSCQueryHttp.h"
#include "remote/WebSocketFrames.h"

namespace {

using namespace zarvo;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "broken promise: %s\n", what);
    std::abort();
}

constexpr size_t kLimit = 4096;  // small, so that the fuzzer reaches it

void checkEvent(const WebSocketEvent& event) {
    if (event.opcode == WebSocketOpcode::text && !isValidUtf8(event.payload))
        fail("text message that is not UTF-8");
    if (event.payload.size() > kLimit)
        fail("message over the limit");
    const bool control = (static_cast<uint8_t>(event.opcode) & 0x8) != 0;
    if (control && event.payload.size() > 125)
        fail("control frame over 125 bytes");
    if (event.opcode == WebSocketOpcode::continuation)
        fail("a continuation delivered alone");
    if (event.opcode == WebSocketOpcode::text)
        if (const auto command = oscQueryCommand(event.payload))
            if (!isValidUtf8(command->command) || !isValidUtf8(command->path))
                fail("command that is not UTF-8");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    if (const auto upgrade = webSocketUpgradeFor(bytes)) {
        if (!upgrade->answer.starts_with("HTTP/1.1 ") || !upgrade->answer.ends_with("\r\n\r\n"))
            fail("handshake answer that is no HTTP header");
        if (upgrade->accepted != upgrade->answer.starts_with("HTTP/1.1 101 "))
            fail("accepted without switching protocols");
    }

    if (size == 0)
        return 0;
    // The first byte chooses the size of the pieces the rest arrives in.
    const size_t piece = 1 + data[0] % 64;
    const std::string_view frames = bytes.substr(1);
    for (const bool masked : {true, false}) {
        WebSocketReader reader(masked, kLimit);
        std::vector<WebSocketEvent> events;
        bool refused = false;
        for (size_t at = 0; at < frames.size(); at += piece) {
            const size_t before = events.size();
            const bool sound = reader.read(frames.substr(at, piece), events);
            for (size_t i = before; i < events.size(); ++i)
                checkEvent(events[i]);
            if (refused && events.size() != before)
                fail("events after a refusal");
            if (!sound) {
                refused = true;
                if (reader.failureCode() == 0 || reader.pendingBytes() != 0)
                    fail("a refusal without its code, or holding bytes");
            }
        }
        // The frames a server writes read back as they were written.
        for (const WebSocketEvent& event : events) {
            if (event.opcode == WebSocketOpcode::close)
                continue;
            WebSocketReader back(false, kLimit);
            std::vector<WebSocketEvent> again;
            if (!back.read(webSocketFrame(event.opcode, event.payload), again) ||
                again.size() != 1 || again[0].payload != event.payload)
                fail("a frame written does not read back");
        }
    }
    return 0;
}

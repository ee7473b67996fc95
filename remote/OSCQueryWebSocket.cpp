// The OSCQuery server's WebSocket side: one client's connection, the LISTEN and IGNORE commands,
// the values sent to listeners, and the OSC packets clients send.

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <deque>
#include <limits>
#include <map>
#include <set>
#include <span>

#include "platform/Log.h"
#include "remote/OSCQueryServer.h"

namespace zarvo {

using nlohmann::json;

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kReadChunk = 16 * 1024;
constexpr int kPollMilliseconds = 500;
// How long a closing connection waits for its last frames to leave.
constexpr double kClosingSeconds = 2.0;

double secondsSince(Clock::time_point then) {
    return std::chrono::duration<double>(Clock::now() - then).count();
}

// The OSC arguments of a value as the tree gives it (a list, usually of one value), typed by
// the address's type tags: "i" as a 32-bit integer (true and false as 1 and 0), "f" as a float,
// "s" as a string; without a tag, by the value's own kind.
std::vector<OSCArgument> argumentsOf(const json& value, const std::string& typeTags) {
    const json list = value.is_array() ? value : json::array({value});
    std::vector<OSCArgument> arguments;
    for (size_t i = 0; i < list.size(); ++i) {
        const json& item = list[i];
        const char tag = i < typeTags.size() ? typeTags[i] : '\0';
        const double number = item.is_number()    ? item.get<double>()
                              : item.is_boolean() ? (item.get<bool>() ? 1.0 : 0.0)
                                                  : 0.0;
        if (tag == 's' || (tag == '\0' && item.is_string())) {
            arguments.emplace_back(item.is_string() ? item.get<std::string>() : item.dump());
        } else if (tag == 'i' || (tag == '\0' && (item.is_number_integer() || item.is_boolean()))) {
            const double clamped =
                std::clamp(std::trunc(number), double{std::numeric_limits<int32_t>::min()},
                           double{std::numeric_limits<int32_t>::max()});
            arguments.emplace_back(static_cast<int32_t>(clamped));
        } else if (tag == 'f' || item.is_number()) {
            arguments.emplace_back(static_cast<float>(number));
        } else {
            arguments.emplace_back(item.dump());
        }
    }
    return arguments;
}

}  // namespace

// One WebSocket client: what it listens to and the frames waiting to be sent to it. Its
// connection thread reads and writes the socket; any thread may queue frames; the values last
// sent belong to the main queue.
class OSCQueryServer::WebSocketSession {
  public:
    WebSocketSession() : wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~WebSocketSession() {
        if (wakeFd_ >= 0)
            ::close(wakeFd_);
    }
    WebSocketSession(const WebSocketSession&) = delete;
    WebSocketSession& operator=(const WebSocketSession&) = delete;

    bool valid() const { return wakeFd_ >= 0; }
    int wakeFd() const { return wakeFd_; }

    // Queues a frame. Past kMaxQueuedBytes nothing more is queued and the session is marked
    // overflowed, which ends it: a client that does not read costs bounded memory.
    void send(std::string frame) {
        {
            std::lock_guard lock(mutex_);
            if (overflowed_ || ended_)
                return;
            if (queuedBytes_ + frame.size() > kMaxQueuedBytes) {
                overflowed_ = true;
            } else {
                queuedBytes_ += frame.size();
                outgoing_.push_back(std::move(frame));
            }
        }
        wake();
    }

    // Asks the connection to close (the server stops).
    void end() {
        {
            std::lock_guard lock(mutex_);
            ended_ = true;
        }
        wake();
    }

    bool listen(const std::string& path) {
        std::lock_guard lock(mutex_);
        return listened_.insert(path).second;
    }
    void ignore(const std::string& path) {
        std::lock_guard lock(mutex_);
        listened_.erase(path);
    }
    std::set<std::string> listened() const {
        std::lock_guard lock(mutex_);
        return listened_;
    }

    bool overflowed() const {
        std::lock_guard lock(mutex_);
        return overflowed_;
    }
    bool ended() const {
        std::lock_guard lock(mutex_);
        return ended_;
    }

    // Moves the queued frames to the connection thread's own buffer.
    void takeOutgoing(std::string& into) {
        std::lock_guard lock(mutex_);
        for (std::string& frame : outgoing_)
            into += frame;
        outgoing_.clear();
        queuedBytes_ = into.size();
    }
    // The connection thread's buffer shrank to `left` bytes.
    void sent(size_t left) {
        std::lock_guard lock(mutex_);
        queuedBytes_ = left;
        for (const std::string& frame : outgoing_)
            queuedBytes_ += frame.size();
    }

    void drainWake() {
        uint64_t count;
        [[maybe_unused]] const ssize_t got = ::read(wakeFd_, &count, sizeof count);
    }

    // The connection thread's own state.
    bool warnedOfUnknown = false;
    // The values last sent, by address; main queue only.
    std::map<std::string, json> lastSent;

  private:
    void wake() {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(wakeFd_, &one, sizeof one);
    }

    const int wakeFd_;
    mutable std::mutex mutex_;
    std::deque<std::string> outgoing_;  // guarded by mutex_
    size_t queuedBytes_ = 0;            // guarded by mutex_: queued and not yet sent
    bool overflowed_ = false;           // guarded by mutex_
    bool ended_ = false;                // guarded by mutex_
    std::set<std::string> listened_;    // guarded by mutex_
};

void OSCQueryServer::setMessageHandler(MessageHandler handler) {
    auto shared = handler ? std::make_shared<const MessageHandler>(std::move(handler)) : nullptr;
    std::lock_guard lock(handlerMutex_);
    messageHandler_ = std::move(shared);
}

size_t OSCQueryServer::webSocketCount() const {
    std::lock_guard lock(sessionsMutex_);
    return sessions_.size();
}

void OSCQueryServer::endWebSockets() {
    std::vector<std::shared_ptr<WebSocketSession>> sessions;
    {
        std::lock_guard lock(sessionsMutex_);
        sessions = sessions_;
    }
    for (const auto& session : sessions)
        session->end();
}

std::optional<std::pair<OSCQueryServer::ValueProvider, std::string>> OSCQueryServer::listenable(
    const std::string& path) const {
    std::lock_guard lock(stateMutex_);
    const OSCQueryNode* node = root_->find(path);
    if (node == nullptr || !node->isMethod || !node->valueProvider || node->fullPath != path)
        return std::nullopt;
    return std::make_pair(node->valueProvider, node->typeTags.value_or(""));
}

void OSCQueryServer::serveWebSocket(int fd, std::string pending) {
    auto session = std::make_shared<WebSocketSession>();
    if (!session->valid())
        return;
    {
        std::lock_guard lock(sessionsMutex_);
        sessions_.push_back(session);
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);

    WebSocketReader reader;
    std::string writing;  // bytes taken from the queue, not yet sent
    bool closing = false;
    Clock::time_point closingSince;
    Clock::time_point lastHeard = Clock::now();
    bool pinged = false;
    const auto beginClosing = [&](uint16_t code, std::string_view reason) {
        if (closing)
            return;
        closing = true;
        closingSince = Clock::now();
        session->send(webSocketFrame(WebSocketOpcode::close, webSocketClosePayload(code, reason)));
    };
    const auto readBytes = [&](std::string_view bytes) {
        std::vector<WebSocketEvent> events;
        const bool sound = reader.read(bytes, events);
        for (WebSocketEvent& event : events)
            if (!closing && !handleWebSocketEvent(*session, event))
                beginClosing(event.closeCode.value_or(kWebSocketCloseNormal), "");
        if (!sound) {
            logLine("OSCQuery: WebSocket client refused: " + reader.failureReason());
            beginClosing(reader.failureCode(), reader.failureReason());
        }
    };
    if (!pending.empty())
        readBytes(pending);

    for (;;) {
        if (session->overflowed()) {
            logLine(
                "OSCQuery: WebSocket client dropped: it does not read the values it listens to");
            break;
        }
        if (session->ended() && !closing) {
            closing = true;
            closingSince = Clock::now();
            std::string frame =
                webSocketFrame(WebSocketOpcode::close, webSocketClosePayload(1001, "stopping"));
            session->takeOutgoing(writing);
            writing += frame;
        }
        session->takeOutgoing(writing);
        if (closing && (writing.empty() || secondsSince(closingSince) > kClosingSeconds))
            break;

        pollfd fds[2] = {{fd, static_cast<short>(POLLIN | (writing.empty() ? 0 : POLLOUT)), 0},
                         {session->wakeFd(), POLLIN, 0}};
        const int ready = ::poll(fds, 2, kPollMilliseconds);
        if (ready < 0 && errno != EINTR)
            break;
        if (fds[1].revents != 0)
            session->drainWake();
        if ((fds[0].revents & (POLLERR | POLLNVAL)) != 0)
            break;
        if ((fds[0].revents & (POLLIN | POLLHUP)) != 0) {
            char chunk[kReadChunk];
            const ssize_t received = ::recv(fd, chunk, sizeof chunk, 0);
            if (received == 0 || (received < 0 && errno != EAGAIN && errno != EINTR))
                break;
            if (received > 0) {
                lastHeard = Clock::now();
                pinged = false;
                if (!closing)
                    readBytes(std::string_view(chunk, static_cast<size_t>(received)));
            }
        }
        if (!writing.empty()) {
            const ssize_t sent = ::send(fd, writing.data(), writing.size(), MSG_NOSIGNAL);
            if (sent < 0 && errno != EAGAIN && errno != EINTR)
                break;
            if (sent > 0) {
                writing.erase(0, static_cast<size_t>(sent));
                session->sent(writing.size());
            }
        }
        // A peer that vanished without a word: pinged once, then let go.
        const double silent = secondsSince(lastHeard);
        if (silent > 2 * kWebSocketIdleSeconds)
            break;
        if (silent > kWebSocketIdleSeconds && !pinged && !closing) {
            pinged = true;
            session->send(webSocketFrame(WebSocketOpcode::ping, {}));
        }
    }

    std::lock_guard lock(sessionsMutex_);
    sessions_.erase(std::remove(sessions_.begin(), sessions_.end(), session), sessions_.end());
}

bool OSCQueryServer::handleWebSocketEvent(WebSocketSession& session, WebSocketEvent& event) {
    switch (event.opcode) {
        case WebSocketOpcode::text:
            handleWebSocketCommand(session, event.payload);
            return true;
        case WebSocketOpcode::binary:
            handleWebSocketPacket(event.payload);
            return true;
        case WebSocketOpcode::ping:
            session.send(webSocketFrame(WebSocketOpcode::pong, event.payload));
            return true;
        case WebSocketOpcode::close:
            // Answered with the peer's code; the connection ends once the answer is sent.
            if (!event.closeCode)
                event.closeCode = kWebSocketCloseNormal;
            return false;
        default:
            return true;
    }
}

void OSCQueryServer::handleWebSocketCommand(WebSocketSession& session, const std::string& text) {
    const std::optional<OSCQueryCommand> command = oscQueryCommand(text);
    const std::string name = command ? command->command : std::string();
    const std::string path = command ? command->path : std::string();
    if (name == "LISTEN" && listenable(path)) {
        if (session.listen(path))
            onMainQueue([this] { publishListenedValues(); });
        return;
    }
    if (name == "IGNORE") {
        session.ignore(path);
        return;
    }
    if (!session.warnedOfUnknown) {
        session.warnedOfUnknown = true;
        logLine("OSCQuery: WebSocket command ignored (unknown command or path): " +
                text.substr(0, 200));
    }
}

void OSCQueryServer::handleWebSocketPacket(const std::string& packet) {
    auto messages = OSCMessage::messagesFromPacket(
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(packet.data()), packet.size()));
    std::shared_ptr<const MessageHandler> handler;
    {
        std::lock_guard lock(handlerMutex_);
        handler = messageHandler_;
    }
    if (messages.empty() || !handler || !backlog_->admit())
        return;
    mainQueue_.post([handler, backlog = backlog_, messages = std::move(messages)] {
        if (const int64_t dropped = backlog->handled())
            logLine(PacketBacklog::droppedLine(dropped));
        for (const OSCMessage& message : messages)
            (*handler)(message);
    });
}

void OSCQueryServer::publishListenedValues() {
    std::vector<std::shared_ptr<WebSocketSession>> sessions;
    {
        std::lock_guard lock(sessionsMutex_);
        sessions = sessions_;
    }
    // Each address is read once per round, however many clients listen to it.
    std::map<std::string, std::optional<std::pair<json, std::string>>> read;
    const auto valueOf =
        [&](const std::string& path) -> const std::optional<std::pair<json, std::string>>& {
        auto found = read.find(path);
        if (found != read.end())
            return found->second;
        std::optional<std::pair<json, std::string>> result;
        if (const auto source = listenable(path)) {
            try {
                if (std::optional<json> value = source->first())
                    result = std::make_pair(std::move(*value), source->second);
            } catch (const std::exception& error) {
                logLine(std::string("OSCQuery: value provider raised: ") + error.what());
            }
        }
        return read.emplace(path, std::move(result)).first->second;
    };
    for (const auto& session : sessions) {
        const std::set<std::string> listened = session->listened();
        // Forgotten when ignored, so that listening again sends the value at once.
        std::erase_if(session->lastSent,
                      [&](const auto& entry) { return !listened.contains(entry.first); });
        for (const std::string& path : listened) {
            const auto& value = valueOf(path);
            if (!value)
                continue;
            const auto last = session->lastSent.find(path);
            if (last != session->lastSent.end() && last->second == value->first)
                continue;
            session->lastSent[path] = value->first;
            const std::vector<uint8_t> packet =
                OSCMessage(path, argumentsOf(value->first, value->second)).packet();
            session->send(webSocketFrame(
                WebSocketOpcode::binary,
                std::string_view(reinterpret_cast<const char*>(packet.data()), packet.size())));
        }
    }
}

}  // namespace zarvo

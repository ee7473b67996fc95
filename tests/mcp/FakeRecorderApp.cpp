#include "tests/mcp/FakeRecorderApp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <future>
#include <optional>
#include <stdexcept>

#include "platform/RunLoop.h"
#include "remote/OSCQueryServer.h"
#include "remote/OSCReceiver.h"

namespace zarvo::mcp::testing {

using json = nlohmann::json;

namespace {

constexpr int kPlaces = 8;
constexpr const char* kMarker = "/fake/marker";
constexpr double kFinishingSeconds = 0.15;

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::optional<std::string> stringArgument(const OSCMessage& message) {
    if (message.arguments().empty()) {
        return std::nullopt;
    }
    if (const auto* text = std::get_if<std::string>(&message.arguments().front())) {
        return *text;
    }
    return std::nullopt;
}

std::optional<double> numberArgument(const OSCMessage& message) {
    if (message.arguments().empty()) {
        return std::nullopt;
    }
    return std::visit(
        [](const auto& value) -> std::optional<double> {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, std::string> || std::is_same_v<T, bool>) {
                return std::nullopt;
            } else {
                return static_cast<double>(value);
            }
        },
        message.arguments().front());
}

void sendDatagram(long port, const std::vector<uint8_t>& bytes) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<uint16_t>(port));
    ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    ::close(fd);
}

}  // namespace

struct FakeRecorderApp::Running {
    RunLoop loop;
    OSCQueryServer server{loop};
    OSCReceiver receiver{loop};
};

FakeRecorderApp::FakeRecorderApp(FakeRecorderState initial, long firstHttpPort)
    : state_(std::move(initial)), firstHttpPort_(firstHttpPort) {
    std::promise<bool> started;
    auto ready = started.get_future();
    thread_ = std::thread([this, &started] {
        running_ = std::make_unique<Running>();
        run();
        const bool ok = running_->server.isRunning() && running_->receiver.port() != 0;
        started.set_value(ok);
        if (ok) {
            running_->loop.run();
        }
        running_->receiver.stop();
        running_->server.stop();
    });
    if (!ready.get()) {
        thread_.join();
        throw std::runtime_error("the fake application could not bind its ports");
    }
}

FakeRecorderApp::~FakeRecorderApp() {
    running_->loop.stop();
    thread_.join();
    // Destroyed here rather than on its thread, so that stop() above has long returned.
    running_.reset();
}

FakeRecorderState FakeRecorderApp::snapshot() const {
    std::lock_guard lock(mutex_);
    return state_;
}

void FakeRecorderApp::update(const std::function<void(FakeRecorderState&)>& change) {
    std::lock_guard lock(mutex_);
    change(state_);
}

std::vector<OSCMessage> FakeRecorderApp::takeMessages() {
    sendDatagram(oscPort_, OSCMessage(kMarker, {}).packet());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
        {
            std::lock_guard lock(mutex_);
            const auto marker = std::find_if(
                received_.begin(), received_.end(),
                [](const OSCMessage& message) { return message.address() == kMarker; });
            if (marker != received_.end()) {
                std::vector<OSCMessage> taken(received_.begin(), marker);
                received_.erase(received_.begin(), marker + 1);
                return taken;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    throw std::runtime_error("the fake application did not receive its marker");
}

void FakeRecorderApp::run() {
    OSCQueryServer& server = running_->server;
    const auto provide = [this](std::function<json(const FakeRecorderState&)> read) {
        return [this, read = std::move(read)]() -> std::optional<json> {
            std::lock_guard lock(mutex_);
            return json::array({read(state_)});
        };
    };
    const auto placeTitle = [](int n) {
        return [n](const FakeRecorderState& state) {
            return n <= static_cast<int>(state.places.size()) ? json(state.places[n - 1])
                                                              : json("");
        };
    };

    const json titlesRange = json::array({{{"VALS", snapshot().titles}}});
    server.registerOSCAddress("/source", "s", "The first source to record", 3, titlesRange,
                              provide(placeTitle(1)));
    for (int n = 1; n <= kPlaces; ++n) {
        server.registerOSCAddress("/source/" + std::to_string(n), "s", "Source to record", 3,
                                  titlesRange, provide(placeTitle(n)));
        for (const char* key : {"kind", "online", "width", "height", "fps", "file", "frames",
                                "dropped", "sound", "soundwritten"}) {
            const std::string name = std::to_string(n) + "/" + key;
            const bool text = std::string_view(key) == "kind" || std::string_view(key) == "file";
            server.registerOSCAddress("/status/source/" + name, text ? "s" : "i", "", 1,
                                      json::array(),
                                      provide([n, name, text](const FakeRecorderState& state) {
                                          const auto found = state.placeStatus.find(name);
                                          if (n > static_cast<int>(state.places.size()) ||
                                              found == state.placeStatus.end()) {
                                              return text ? json("") : json(0);
                                          }
                                          return found->second;
                                      }));
        }
    }
    for (const auto& [address, value] : snapshot().values) {
        const std::string path = address;
        server.registerOSCAddress(
            path, value.is_string() ? "s" : "f", "", 3, json::array(),
            provide([path](const FakeRecorderState& state) { return state.values.at(path); }));
    }
    server.registerOSCAddress("/status/state", "s", "", 1, json::array(),
                              provide([](const FakeRecorderState& s) { return json(s.state); }));
    server.registerOSCAddress("/status/error", "s", "", 1, json::array(),
                              provide([](const FakeRecorderState& s) { return json(s.error); }));
    server.registerOSCAddress("/status/failure", "s", "", 1, json::array(),
                              provide([](const FakeRecorderState& s) { return json(s.failure); }));
    server.registerOSCAddress("/status/ndi/sources", "s", "", 1, json::array(),
                              provide([](const FakeRecorderState& s) {
                                  std::string joined;
                                  for (const std::string& title : s.ndiTitles) {
                                      joined += title + "\n";
                                  }
                                  return json(joined);
                              }));
    server.registerOSCAddress(
        "/record", "i", "1 starts recording, 0 stops", 3, json::array({{{"MIN", 0}, {"MAX", 1}}}),
        provide([](const FakeRecorderState& s) { return json(s.state == "recording" ? 1 : 0); }));

    server.setServerName("ZarvoRecorder");
    if (!running_->receiver.startOnPort(0, [this](const OSCMessage& message) { handle(message); }))
        return;
    oscPort_ = running_->receiver.port();
    server.setOscPort(oscPort_);
    if (server.startOnPort(firstHttpPort_)) {
        httpPort_ = server.httpPort();
    }
}

// Changes the state as the recorder does: places by containment of the title, settings clamped
// or lower-cased, "/record" starting and stopping.
void FakeRecorderApp::handle(const OSCMessage& message) {
    std::lock_guard lock(mutex_);
    received_.push_back(message);
    const std::string& address = message.address();
    const auto text = stringArgument(message);
    const auto number = numberArgument(message);
    FakeRecorderState& state = state_;

    if (address == "/source" || address.rfind("/source/", 0) == 0) {
        const size_t place = address == "/source" ? 1 : std::stoul(address.substr(8));
        if (!text) {
            state.error = address + " expects the title of a source, or an empty string";
        } else if (text->empty()) {
            if (place <= state.places.size()) {
                state.places.erase(state.places.begin() + static_cast<long>(place - 1));
            }
        } else {
            const auto found =
                std::find_if(state.titles.begin(), state.titles.end(), [&](const std::string& t) {
                    return lower(t).find(lower(*text)) != std::string::npos;
                });
            if (found == state.titles.end()) {
                state.error = "There is no source called " + *text;
            } else if (place <= state.places.size()) {
                state.places[place - 1] = *found;
            } else {
                state.places.push_back(*found);
            }
        }
    } else if (address == "/codec" && text) {
        const std::string codec = lower(*text);
        if (codec == "h264" || codec == "hevc" || codec == "prores422" || codec == "prores4444") {
            state.values["/codec"] = codec;
        }
    } else if ((address == "/fps" || address == "/bitrate") && number) {
        state.values[address] = std::clamp(*number, 0.0, address == "/fps" ? 240.0 : 1000.0);
    } else if ((address == "/gap" || address == "/width" || address == "/height") && number) {
        state.values[address] = static_cast<long>(std::clamp(*number, 0.0, 16384.0));
    } else if (address == "/performance" && number) {
        state.values[address] = *number != 0 ? 1 : 0;
    } else if ((address == "/output" || address == "/layout") && text) {
        state.values[address] = lower(*text);
    } else if ((address == "/folder" || address == "/name" || address == "/sound") && text) {
        state.values[address] = *text;
    } else if (address == "/record" && number) {
        if (*number != 0 && state.state == "idle") {
            if (state.onRecord == FakeRecorderState::OnRecord::start) {
                state.state = "recording";
                state.error.clear();
            } else if (state.onRecord == FakeRecorderState::OnRecord::refuse) {
                state.error = state.refusal;
            }
        } else if (*number == 0 && state.state == "recording") {
            state.state = "finishing";
            if (state.finishes) {
                running_->loop.postAfter(kFinishingSeconds, [this] {
                    std::lock_guard later(mutex_);
                    state_.state = "idle";
                });
            }
        }
    }
}

}  // namespace zarvo::mcp::testing

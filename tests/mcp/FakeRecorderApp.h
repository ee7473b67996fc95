#pragma once

// A stand-in for the running application, built from the application's own OSCQuery server and
// OSC receiver: it publishes a small table of the recorder's addresses over HTTP and changes its
// state from the OSC messages it receives, the way the recorder does, so the MCP tools can be
// driven over real loopback sockets.

#include <nlohmann/json.hpp>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "remote/OSCMessage.h"

namespace zarvo::mcp::testing {

struct FakeRecorderState {
    // What happens when "/record" 1 arrives while idle.
    enum class OnRecord { start, refuse, ignore };

    std::vector<std::string> titles;     // the sources that can be chosen
    std::vector<std::string> ndiTitles;  // those of them that are NDI sources
    std::vector<std::string> places;     // the sources chosen, in order
    // The settings and other values by address.
    std::map<std::string, nlohmann::json> values = {{"/codec", "h264"},
                                                    {"/fps", 30.0},
                                                    {"/bitrate", 0.0},
                                                    {"/folder", "/tmp"},
                                                    {"/name", ""},
                                                    {"/output", "separate"},
                                                    {"/layout", "row"},
                                                    {"/gap", 0},
                                                    {"/width", 0},
                                                    {"/height", 0},
                                                    {"/sound", ""},
                                                    {"/performance", 0},
                                                    {"/status/version", "dev"},
                                                    {"/status/ndi", 1},
                                                    {"/status/elapsed", 0.0},
                                                    {"/status/dropped", 0},
                                                    {"/status/sound/leftout", 0.0}};
    // Each place's status by "N/key", for example "1/width".
    std::map<std::string, nlohmann::json> placeStatus;
    std::string state = "idle";
    std::string error;
    std::string failure;

    OnRecord onRecord = OnRecord::start;
    std::string refusal = "No source is chosen";  // the error set when refusing to start
    bool finishes = true;  // whether "finishing" turns to "idle" after a moment
};

class FakeRecorderApp {
  public:
    // Starts serving on the first free HTTP port from `firstHttpPort` on, OSC on a port the
    // system chooses.
    explicit FakeRecorderApp(FakeRecorderState initial, long firstHttpPort);
    ~FakeRecorderApp();
    FakeRecorderApp(const FakeRecorderApp&) = delete;
    FakeRecorderApp& operator=(const FakeRecorderApp&) = delete;

    long httpPort() const { return httpPort_; }
    long oscPort() const { return oscPort_; }

    FakeRecorderState snapshot() const;
    void update(const std::function<void(FakeRecorderState&)>& change);

    // The messages received since the last call, up to a marker message this call sends
    // itself: as UDP on loopback keeps the order, everything sent before the call is in.
    std::vector<OSCMessage> takeMessages();

  private:
    struct Running;

    void run();
    void handle(const OSCMessage& message);

    mutable std::mutex mutex_;  // guards state_ and received_
    FakeRecorderState state_;
    std::vector<OSCMessage> received_;

    std::thread thread_;
    std::unique_ptr<Running> running_;  // lives on thread_
    long httpPort_ = 0;
    long oscPort_ = 0;
    long firstHttpPort_;
};

}  // namespace zarvo::mcp::testing

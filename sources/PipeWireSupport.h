#pragma once

// What the PipeWire directory and sources share: the library's one-time start, and reading its
// property dictionaries. Private to sources/.

#include <pipewire/pipewire.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

namespace zarvo::pipewire {

// Starts the library once per process; safe from any thread.
void initialize();

// The string under key, or "" when the dictionary lacks it.
std::string dictString(const spa_dict* dict, const char* key);

// The unsigned number under key, or nothing when it is missing or no number.
std::optional<uint64_t> DictNumber(const spa_dict* dict, const char* key);

// Whether nodes of this media class publish video that can be recorded: sources such as cameras
// and capture cards ("Video/Source"), and the output streams of programs ("Stream/Output/Video",
// what a GStreamer pipeline's pipewiresink registers).
bool isVideoSourceClass(const std::string& mediaClass);

// The library's calls that are macros over casts, as plain functions.
void addCoreListener(pw_core* core, spa_hook* hook, const pw_core_events* events, void* data);
pw_registry* getRegistry(pw_core* core);
// Asks for a round trip; answers its sequence number, given back to the core's done event.
int sync(pw_core* core);
void addRegistryListener(pw_registry* registry, spa_hook* hook, const pw_registry_events* events,
                         void* data);
pw_proxy* bindNode(pw_registry* registry, uint32_t id);
void addNodeListener(pw_proxy* node, spa_hook* hook, const pw_node_events* events, void* data);
pw_proxy* createLink(pw_core* core, const spa_dict* props);

// A thread's PipeWire loop and context, with a stop that any thread may ask for at any time.
// The library's own quit, asked from another thread before the loop has started to run, is
// lost and the loop then runs for ever; the stop here is an event the loop reads whenever it
// runs, so a stop asked before run() ends it at once, and every later run() returns at once.
class StoppableLoop {
  public:
    StoppableLoop();  // check isValid(): the loop or its context can fail to be made
    ~StoppableLoop();
    StoppableLoop(const StoppableLoop&) = delete;
    StoppableLoop& operator=(const StoppableLoop&) = delete;

    bool isValid() const { return context_ != nullptr; }
    pw_context* context() const { return context_; }

    // The loop's thread: runs until stop() or quitRun().
    void run();
    // The loop's thread: ends the run under way, as an error does; a later run() runs again.
    void quitRun();
    // Any thread.
    void stop();
    bool isStopped() const { return stopped_; }

  private:
    pw_main_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    spa_source* wake_ = nullptr;
    std::atomic<bool> stopped_{false};
};

}  // namespace zarvo::pipewire

#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/MainQueue.h"
#include "sources/NDILibrary.h"
#include "sources/SourceDirectory.h"

namespace zarvo {

// Where an NDI source is reached: its NDI name and, when it gave one, its URL address.
struct NDISourceAddress {
    std::string name;
    std::optional<std::string> url;

    friend bool operator==(const NDISourceAddress&, const NDISourceAddress&) = default;
};

// Watches the network for NDI sources on a thread of its own ("NDIFinder") and keeps the names
// of the last listing. When the names change, the change handler is called on the main queue.
class NDIFinder {
  public:
    // A running finder, or nullptr when the library has no function table or the runtime cannot
    // make a finder. The main queue must outlive the finder.
    static std::unique_ptr<NDIFinder> create(std::shared_ptr<const NDILibrary> library,
                                             MainQueue& mainQueue);
    // Stops the finder.
    ~NDIFinder();
    NDIFinder(const NDIFinder&) = delete;
    NDIFinder& operator=(const NDIFinder&) = delete;

    // The name and URL of one listed source; nullopt when the name is absent or not valid UTF-8.
    // An absent or invalid URL gives no URL.
    static std::optional<NDISourceAddress> copyName(const char* name, const char* url);

    static bool isValidUTF8(std::string_view text);

    // The names of the sources found, in the order of the last listing.
    std::vector<std::string> sourceNames() const;
    // The first listed source whose name equals the title; nullopt when there is none.
    std::optional<NDISourceAddress> getName(const std::string& title) const;

    ChangeHandler changeHandler() const;
    void setChangeHandler(ChangeHandler handler);

    // Ends discovery: no change handler runs afterwards, also not one already posted. Waits for
    // the thread's current pass (about a quarter of a second). Idempotent.
    void stop();

  private:
    struct State;
    NDIFinder(std::shared_ptr<const NDILibrary> library, std::shared_ptr<State> state)
        : library_(std::move(library)), state_(std::move(state)) {}

    static void discover(std::shared_ptr<State> state, const ndi::NDIlib_v5* table, void* find,
                         MainQueue* mainQueue);

    const std::shared_ptr<const NDILibrary> library_;
    const std::shared_ptr<State> state_;
};

}  // namespace zarvo

#include "sources/NDIFinder.h"

#include <condition_variable>
#include <mutex>
#include <system_error>

#include "platform/Thread.h"

namespace zarvo {

namespace {
// How long one pass waits for the runtime to notice a change.
constexpr uint32_t kWaitForSourcesMs = 250;
}  // namespace

// Shared between the finder object, its thread and the change tasks posted to the main queue.
struct NDIFinder::State {
    std::mutex mutex;  // the condition's mutex
    std::condition_variable condition;
    bool stopping = false;                         // guarded by mutex
    bool running = true;                           // guarded by mutex
    std::vector<std::string> names;                // guarded by mutex
    std::vector<std::optional<std::string>> urls;  // guarded by mutex; parallel to names
    // Owned by the finder object, never read by its thread; taken out by the first stop.
    void* find = nullptr;  // guarded by mutex
    std::thread thread;    // guarded by mutex

    std::recursive_mutex callLock;
    bool stopped = false;   // guarded by callLock
    ChangeHandler handler;  // guarded by callLock
};

std::unique_ptr<NDIFinder> NDIFinder::create(std::shared_ptr<const NDILibrary> library,
                                             MainQueue& mainQueue) {
    const ndi::NDIlib_v5* table = library ? library->functions() : nullptr;
    if (table == nullptr) {
        return nullptr;
    }
    ndi::NDIlib_find_create_t settings{};
    settings.show_local_sources = true;
    settings.p_groups = nullptr;
    settings.p_extra_ips = nullptr;
    void* find = table->find_create_v2(&settings);
    if (find == nullptr) {
        return nullptr;
    }
    auto state = std::make_shared<State>();
    {
        std::lock_guard lock(state->mutex);
        state->find = find;
        try {
            state->thread = std::thread(discover, state, table, find, &mainQueue);
        } catch (const std::system_error&) {
            table->find_destroy(find);
            return nullptr;
        }
    }
    return std::unique_ptr<NDIFinder>(new NDIFinder(std::move(library), std::move(state)));
}

NDIFinder::~NDIFinder() {
    stop();
}

void NDIFinder::discover(std::shared_ptr<State> state, const ndi::NDIlib_v5* table, void* find,
                         MainQueue* mainQueue) {
    setCurrentThreadName("NDIFinder");
    while (true) {
        {
            std::lock_guard lock(state->mutex);
            if (state->stopping) {
                break;
            }
        }
        table->find_wait_for_sources(find, kWaitForSourcesMs);
        uint32_t count = 0;
        const ndi::NDIlib_source_t* sources = table->find_get_current_sources(find, &count);
        std::vector<std::string> names;
        std::vector<std::optional<std::string>> urls;
        for (uint32_t i = 0; sources != nullptr && i < count; ++i) {
            if (auto address = copyName(sources[i].p_ndi_name, sources[i].p_url_address)) {
                names.push_back(std::move(address->name));
                urls.push_back(std::move(address->url));
            }
        }
        bool changed = false;
        {
            std::lock_guard lock(state->mutex);
            if (!state->stopping) {
                changed = names != state->names;
                state->names = std::move(names);
                state->urls = std::move(urls);
            }
        }
        if (changed) {
            mainQueue->post([state] {
                std::lock_guard lock(state->callLock);
                if (state->stopped || !state->handler) {
                    return;
                }
                // A copy, so that the handler may replace itself or stop the finder.
                const ChangeHandler handler = state->handler;
                handler();
            });
        }
    }
    std::lock_guard lock(state->mutex);
    state->running = false;
    state->condition.notify_all();
}

std::optional<NDISourceAddress> NDIFinder::copyName(const char* name, const char* url) {
    if (name == nullptr || !isValidUTF8(name)) {
        return std::nullopt;
    }
    NDISourceAddress address{name, std::nullopt};
    if (url != nullptr && isValidUTF8(url)) {
        address.url = url;
    }
    return address;
}

bool NDIFinder::isValidUTF8(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<uint8_t>(text[i]);
        size_t length = 0;
        uint32_t minimum = 0;
        uint32_t code = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            minimum = 0x80;
            code = lead & 0x1Fu;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            minimum = 0x800;
            code = lead & 0x0Fu;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            minimum = 0x10000;
            code = lead & 0x07u;
        } else {
            return false;
        }
        if (text.size() - i < length) {
            return false;
        }
        for (size_t k = 1; k < length; ++k) {
            const auto next = static_cast<uint8_t>(text[i + k]);
            if ((next & 0xC0u) != 0x80u) {
                return false;
            }
            code = (code << 6) | (next & 0x3Fu);
        }
        // Overlong forms, surrogates and values beyond Unicode are not text.
        if (code < minimum || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) {
            return false;
        }
        i += length;
    }
    return true;
}

std::vector<std::string> NDIFinder::sourceNames() const {
    std::lock_guard lock(state_->mutex);
    return state_->names;
}

std::optional<NDISourceAddress> NDIFinder::getName(const std::string& title) const {
    std::lock_guard lock(state_->mutex);
    for (size_t i = 0; i < state_->names.size(); ++i) {
        if (state_->names[i] == title) {
            return NDISourceAddress{state_->names[i], state_->urls[i]};
        }
    }
    return std::nullopt;
}

ChangeHandler NDIFinder::changeHandler() const {
    std::lock_guard lock(state_->callLock);
    return state_->handler;
}

void NDIFinder::setChangeHandler(ChangeHandler handler) {
    std::lock_guard lock(state_->callLock);
    state_->handler = std::move(handler);
}

void NDIFinder::stop() {
    ChangeHandler dropped;
    {
        std::lock_guard lock(state_->callLock);
        state_->stopped = true;
        dropped = std::move(state_->handler);
        state_->handler = nullptr;
    }
    void* find = nullptr;
    std::thread thread;
    {
        std::unique_lock lock(state_->mutex);
        state_->stopping = true;
        state_->condition.wait(lock, [&] { return !state_->running; });
        state_->names.clear();
        state_->urls.clear();
        find = std::exchange(state_->find, nullptr);
        thread = std::move(state_->thread);
    }
    if (thread.joinable()) {
        thread.join();
    }
    if (find != nullptr) {
        library_->functions()->find_destroy(find);
    }
}

}  // namespace zarvo

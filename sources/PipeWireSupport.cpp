#include "sources/PipeWireSupport.h"

#include <charconv>
#include <cstring>
#include <mutex>

namespace zarvo::pipewire {

void initialize() {
    static std::once_flag once;
    std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

std::string dictString(const spa_dict* dict, const char* key) {
    const char* value = dict != nullptr ? spa_dict_lookup(dict, key) : nullptr;
    return value != nullptr ? std::string(value) : std::string();
}

std::optional<uint64_t> DictNumber(const spa_dict* dict, const char* key) {
    const std::string text = dictString(dict, key);
    uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

bool isVideoSourceClass(const std::string& mediaClass) {
    return mediaClass == "Video/Source" || mediaClass == "Stream/Output/Video";
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"

void addCoreListener(pw_core* core, spa_hook* hook, const pw_core_events* events, void* data) {
    pw_core_add_listener(core, hook, events, data);
}

pw_registry* getRegistry(pw_core* core) {
    return pw_core_get_registry(core, PW_VERSION_REGISTRY, 0);
}

int sync(pw_core* core) {
    return pw_core_sync(core, PW_ID_CORE, 0);
}

void addRegistryListener(pw_registry* registry, spa_hook* hook, const pw_registry_events* events,
                         void* data) {
    pw_registry_add_listener(registry, hook, events, data);
}

pw_proxy* bindNode(pw_registry* registry, uint32_t id) {
    return static_cast<pw_proxy*>(
        pw_registry_bind(registry, id, PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, 0));
}

void addNodeListener(pw_proxy* node, spa_hook* hook, const pw_node_events* events, void* data) {
    pw_node_add_listener(reinterpret_cast<pw_node*>(node), hook, events, data);
}

pw_proxy* createLink(pw_core* core, const spa_dict* props) {
    return static_cast<pw_proxy*>(pw_core_create_object(
        core, "link-factory", PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, props, 0));
}

#pragma GCC diagnostic pop

StoppableLoop::StoppableLoop() {
    loop_ = pw_main_loop_new(nullptr);
    if (loop_ == nullptr) {
        return;
    }
    wake_ = pw_loop_add_event(
        pw_main_loop_get_loop(loop_),
        [](void* data, uint64_t) {
            auto* self = static_cast<StoppableLoop*>(data);
            pw_main_loop_quit(self->loop_);
        },
        this);
    if (wake_ != nullptr) {
        context_ = pw_context_new(pw_main_loop_get_loop(loop_), nullptr, 0);
    }
}

StoppableLoop::~StoppableLoop() {
    if (context_ != nullptr) {
        pw_context_destroy(context_);
    }
    if (wake_ != nullptr) {
        pw_loop_destroy_source(pw_main_loop_get_loop(loop_), wake_);
    }
    if (loop_ != nullptr) {
        pw_main_loop_destroy(loop_);
    }
}

void StoppableLoop::run() {
    // A stop signalled before this point is still pending on the event, so the run ends at
    // once; the check only spares the round.
    if (loop_ != nullptr && !stopped_) {
        pw_main_loop_run(loop_);
    }
}

void StoppableLoop::quitRun() {
    if (loop_ != nullptr) {
        pw_main_loop_quit(loop_);
    }
}

void StoppableLoop::stop() {
    stopped_ = true;
    if (wake_ != nullptr) {
        pw_loop_signal_event(pw_main_loop_get_loop(loop_), wake_);
    }
}

}  // namespace zarvo::pipewire

#include "sources/PipeWireDirectory.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>

#include "platform/Log.h"
#include "platform/Thread.h"
#include "sources/PipeWireSource.h"
#include "sources/PipeWireSupport.h"
#include "sources/SyphonDirectory.h"

namespace zarvo {

namespace {

// How long creation waits for PipeWire's first list.
constexpr auto kFirstListTimeout = std::chrono::seconds(3);

}  // namespace

// Shared between the directory and its thread.
struct PipeWireDirectory::Watch {
    MainQueue* mainQueue = nullptr;
    std::weak_ptr<PipeWireDirectory> directory;  // set before the thread starts

    mutable std::mutex mutex;  // the condition's mutex
    std::condition_variable condition;
    bool stopping = false;   // guarded by mutex
    bool answered = false;   // guarded by mutex: the first attempt has its answer
    bool connected = false;  // guarded by mutex
    // The thread's loop and context, made once for all its attempts: a context made and
    // destroyed for every attempt can leave the library's own thread waiting for ever. Set and
    // cleared by the thread under mutex; other threads read it under mutex.
    std::unique_ptr<pipewire::StoppableLoop> loop;
    std::vector<PipeWireNode> listed;  // guarded by mutex

    // What one connection knows; the thread's own.
    struct Node {
        Watch* watch = nullptr;
        uint32_t id = 0;
        uint64_t serial = 0;
        uint32_t client = SPA_ID_INVALID;
        std::string mediaClass;
        std::string name;
        std::string description;
        std::string app;  // the node's own application name, when it gives one
        bool device = false;
        bool hasInfo = false;
        pw_proxy* proxy = nullptr;
        spa_hook listener{};
    };
    std::vector<std::unique_ptr<Node>> nodes;
    std::map<uint32_t, std::string> clientApps;
    pw_core* core = nullptr;
    pw_registry* registry = nullptr;
    int syncSeq = 0;
    bool reached = false;        // this attempt had its first list
    std::string why;             // why this attempt ended
    bool failureLogged = false;  // a failure was logged and PipeWire has not answered since

    void run();
    bool attempt();
    void addNode(uint32_t id, const spa_dict* props);
    void removeNode(std::vector<std::unique_ptr<Node>>::iterator node);
    void publish();
    void quit() { loop->quitRun(); }
};

void PipeWireDirectory::Watch::run() {
    setCurrentThreadName("PipeWire");
    {
        auto made = std::make_unique<pipewire::StoppableLoop>();
        std::lock_guard lock(mutex);
        loop = std::move(made);
        if (stopping) {
            loop->stop();
        }
    }
    for (;;) {
        reached = false;
        why.clear();
        attempt();
        std::unique_lock lock(mutex);
        answered = true;
        condition.notify_all();
        if (stopping) {
            break;
        }
        lock.unlock();
        if (reached) {
            logLine("PipeWire: the connection to PipeWire was lost (" + why +
                    "); its sources are gone until it answers again");
            failureLogged = true;
        } else if (!failureLogged) {
            logLine("PipeWire: no PipeWire sources, because " + why);
            failureLogged = true;
        }
        lock.lock();
        condition.wait_for(lock, std::chrono::duration<double>(kRetryInterval),
                           [&] { return stopping; });
        if (stopping) {
            break;
        }
    }
    // Destroyed here, on its own thread, outside the lock.
    std::unique_ptr<pipewire::StoppableLoop> done;
    {
        std::lock_guard lock(mutex);
        done = std::move(loop);
    }
}

bool PipeWireDirectory::Watch::attempt() {
    if (!loop->isValid()) {
        why = std::string("its event loop cannot be made (") + std::strerror(errno) + ")";
        return false;
    }
    core = pw_context_connect(loop->context(), nullptr, 0);
    spa_hook coreListener{};
    spa_hook registryListener{};
    if (core == nullptr) {
        why = std::string("PipeWire does not answer (") + std::strerror(errno) + ")";
    } else {
        static const pw_core_events coreEvents = [] {
            pw_core_events events{};
            events.version = PW_VERSION_CORE_EVENTS;
            events.done = [](void* data, uint32_t id, int seq) {
                auto* self = static_cast<Watch*>(data);
                if (id != PW_ID_CORE || seq != self->syncSeq) {
                    return;
                }
                self->reached = true;
                if (self->failureLogged) {
                    logLine("PipeWire: PipeWire answers again; its sources are listed");
                    self->failureLogged = false;
                }
                std::lock_guard lock(self->mutex);
                self->connected = true;
                self->answered = true;
                self->condition.notify_all();
            };
            events.error = [](void* data, uint32_t id, int, int res, const char* message) {
                auto* self = static_cast<Watch*>(data);
                if (id == PW_ID_CORE) {
                    self->why = message != nullptr && *message != '\0'
                                    ? std::string(message)
                                    : std::string(std::strerror(-res));
                    self->quit();
                }
            };
            return events;
        }();
        static const pw_registry_events registryEvents = [] {
            pw_registry_events events{};
            events.version = PW_VERSION_REGISTRY_EVENTS;
            events.global = [](void* data, uint32_t id, uint32_t, const char* type, uint32_t,
                               const spa_dict* props) {
                auto* self = static_cast<Watch*>(data);
                if (std::strcmp(type, PW_TYPE_INTERFACE_Client) == 0) {
                    self->clientApps[id] = pipewire::dictString(props, PW_KEY_APP_NAME);
                    self->publish();
                } else if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
                    self->addNode(id, props);
                }
            };
            events.global_remove = [](void* data, uint32_t id) {
                auto* self = static_cast<Watch*>(data);
                if (self->clientApps.erase(id) > 0) {
                    self->publish();
                }
                for (auto node = self->nodes.begin(); node != self->nodes.end(); ++node) {
                    if ((*node)->id == id) {
                        self->removeNode(node);
                        self->publish();
                        break;
                    }
                }
            };
            return events;
        }();
        pipewire::addCoreListener(core, &coreListener, &coreEvents, this);
        registry = pipewire::getRegistry(core);
        if (registry != nullptr) {
            pipewire::addRegistryListener(registry, &registryListener, &registryEvents, this);
            syncSeq = pipewire::sync(core);
            loop->run();
        } else {
            why = std::string("its registry cannot be read (") + std::strerror(errno) + ")";
        }
        if (why.empty()) {
            why = "the connection ended";
        }
    }

    while (!nodes.empty()) {
        removeNode(nodes.begin());
    }
    clientApps.clear();
    if (registry != nullptr) {
        spa_hook_remove(&registryListener);
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry));
        registry = nullptr;
    }
    if (core != nullptr) {
        spa_hook_remove(&coreListener);
        pw_core_disconnect(core);
        core = nullptr;
    }
    {
        std::lock_guard lock(mutex);
        connected = false;
    }
    publish();
    return reached;
}

void PipeWireDirectory::Watch::addNode(uint32_t id, const spa_dict* props) {
    // The class is in the announcement; description and application name come with the
    // node's own information, for which it is bound.
    if (!pipewire::isVideoSourceClass(pipewire::dictString(props, PW_KEY_MEDIA_CLASS))) {
        return;
    }
    auto node = std::make_unique<Node>();
    node->watch = this;
    node->id = id;
    node->serial = pipewire::DictNumber(props, PW_KEY_OBJECT_SERIAL).value_or(0);
    node->proxy = pipewire::bindNode(registry, id);
    if (node->proxy == nullptr) {
        return;
    }
    static const pw_node_events nodeEvents = [] {
        pw_node_events events{};
        events.version = PW_VERSION_NODE_EVENTS;
        events.info = [](void* data, const pw_node_info* info) {
            auto* self = static_cast<Node*>(data);
            if ((info->change_mask & PW_NODE_CHANGE_MASK_PROPS) == 0 && self->hasInfo) {
                return;
            }
            const spa_dict* nodeProps = info->props;
            self->mediaClass = pipewire::dictString(nodeProps, PW_KEY_MEDIA_CLASS);
            self->name = pipewire::dictString(nodeProps, PW_KEY_NODE_NAME);
            self->description = pipewire::dictString(nodeProps, PW_KEY_NODE_DESCRIPTION);
            self->app = pipewire::dictString(nodeProps, PW_KEY_APP_NAME);
            self->device = spa_dict_lookup(nodeProps, PW_KEY_DEVICE_ID) != nullptr;
            const auto client = pipewire::DictNumber(nodeProps, PW_KEY_CLIENT_ID);
            self->client = client ? static_cast<uint32_t>(*client) : SPA_ID_INVALID;
            self->hasInfo = true;
            self->watch->publish();
        };
        return events;
    }();
    pipewire::addNodeListener(node->proxy, &node->listener, &nodeEvents, node.get());
    nodes.push_back(std::move(node));
}

void PipeWireDirectory::Watch::removeNode(std::vector<std::unique_ptr<Node>>::iterator node) {
    spa_hook_remove(&(*node)->listener);
    pw_proxy_destroy((*node)->proxy);
    nodes.erase(node);
}

void PipeWireDirectory::Watch::publish() {
    std::vector<PipeWireNode> now;
    for (const auto& node : nodes) {
        if (!node->hasInfo || !pipewire::isVideoSourceClass(node->mediaClass)) {
            continue;
        }
        // A device's node (a camera) belongs to no program; a program's stream, to the
        // program that made it.
        std::string app = node->app;
        if (app.empty() && !node->device) {
            const auto client = clientApps.find(node->client);
            if (client != clientApps.end()) {
                app = client->second;
            }
        }
        const std::string& name = node->description.empty() ? node->name : node->description;
        now.push_back(
            {node->id, node->serial, localSourceTitle(name, app), app.empty() ? "PipeWire" : app});
    }
    {
        std::lock_guard lock(mutex);
        if (now == listed) {
            return;
        }
        listed = std::move(now);
    }
    mainQueue->post([weakDirectory = directory] {
        const auto self = weakDirectory.lock();
        if (!self) {
            return;
        }
        // A copy, so that the handler may replace itself.
        if (const ChangeHandler handler = self->changeHandler_) {
            handler();
        }
    });
}

std::shared_ptr<PipeWireDirectory> PipeWireDirectory::create(MainQueue& mainQueue) {
    pipewire::initialize();
    auto watch = std::make_shared<Watch>();
    watch->mainQueue = &mainQueue;
    std::shared_ptr<PipeWireDirectory> directory(new PipeWireDirectory(watch));
    watch->directory = directory;
    try {
        directory->thread_ = std::thread([watch] { watch->run(); });
    } catch (const std::system_error& error) {
        logLine(std::string("PipeWire: no PipeWire sources, because its thread cannot start (") +
                error.what() + ")");
        return directory;
    }
    std::unique_lock lock(watch->mutex);
    watch->condition.wait_for(lock, kFirstListTimeout, [&] { return watch->answered; });
    return directory;
}

PipeWireDirectory::~PipeWireDirectory() {
    {
        std::lock_guard lock(watch_->mutex);
        watch_->stopping = true;
        if (watch_->loop != nullptr) {
            watch_->loop->stop();
        }
        watch_->condition.notify_all();
    }
    if (thread_.joinable()) {
        thread_.join();
    }
}

std::vector<PipeWireNode> PipeWireDirectory::nodes() const {
    std::lock_guard lock(watch_->mutex);
    return watch_->listed;
}

bool PipeWireDirectory::isConnected() const {
    std::lock_guard lock(watch_->mutex);
    return watch_->connected;
}

std::vector<SourceDescription> PipeWireDirectory::availableSources() {
    std::vector<SourceDescription> sources;
    for (const PipeWireNode& node : nodes()) {
        sources.emplace_back(node.title, node.detail, FrameSourceKind::Syphon);
    }
    return sources;
}

std::shared_ptr<FrameSource> PipeWireDirectory::connectToSourceWithTitle(
    const std::string& title, const gpu::DeviceRef& device) {
    for (const PipeWireNode& node : nodes()) {
        if (node.title != title) {
            continue;
        }
        if (auto source = PipeWireSource::create(title, node.id, node.serial, device)) {
            return source;
        }
    }
    return nullptr;
}

}  // namespace zarvo

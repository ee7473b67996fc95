#include "remote/ServicePublisher.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/error.h>
#include <avahi-common/thread-watch.h>
#include <sys/time.h>

#include <utility>

namespace zarvo {
namespace {

// Avahi's values for "on every interface" and "over both IPv4 and IPv6".
constexpr AvahiIfIndex kEveryInterface = -1;
constexpr AvahiProtocol kEitherProtocol = -1;

}  // namespace

struct ServicePublisher::Callbacks {
    static void connect(AvahiTimeout*, void* self) {
        static_cast<ServicePublisher*>(self)->connectNow();
    }
    static void client(AvahiClient* client, AvahiClientState state, void* self) {
        static_cast<ServicePublisher*>(self)->clientChanged(client, state);
    }
    static void group(AvahiEntryGroup* group, AvahiEntryGroupState state, void* self) {
        static_cast<ServicePublisher*>(self)->groupChanged(group, state);
    }
};

ServicePublisher::ServicePublisher(MainQueue& mainQueue, std::string name, std::string type,
                                   uint16_t port, Handler handler)
    : mainQueue_(mainQueue),
      name_(std::move(name)),
      type_(std::move(type)),
      port_(port),
      handler_(std::move(handler)) {}

ServicePublisher::~ServicePublisher() {
    stop();
}

void ServicePublisher::start() {
    std::lock_guard lock(lifecycle_);
    if (poll_ != nullptr || !live_->load())
        return;
    poll_ = avahi_threaded_poll_new();
    if (poll_ == nullptr) {
        reportError(AVAHI_ERR_NO_MEMORY);
        return;
    }
    // Connecting talks to the daemon synchronously, so it is done on the publisher's thread: an
    // already expired time-out runs it as soon as that thread starts.
    const AvahiPoll* api = avahi_threaded_poll_get(poll_);
    const timeval now{};
    if (api->timeout_new(api, &now, &Callbacks::connect, this) == nullptr ||
        avahi_threaded_poll_start(poll_) < 0) {
        avahi_threaded_poll_free(poll_);
        poll_ = nullptr;
        reportError(AVAHI_ERR_FAILURE);
    }
}

void ServicePublisher::stop() {
    live_->store(false);
    std::lock_guard lock(lifecycle_);
    if (poll_ == nullptr)
        return;
    avahi_threaded_poll_stop(poll_);
    // Freeing the client frees its entry group, which withdraws the service.
    if (client_ != nullptr)
        avahi_client_free(client_);
    client_ = nullptr;
    group_ = nullptr;
    avahi_threaded_poll_free(poll_);
    poll_ = nullptr;
}

void ServicePublisher::connectNow() {
    int error = 0;
    AvahiClient* client = avahi_client_new(avahi_threaded_poll_get(poll_), AvahiClientFlags(0),
                                           &Callbacks::client, this, &error);
    if (client == nullptr) {
        reportError(error);
        return;
    }
    client_ = client;
}

void ServicePublisher::clientChanged(AvahiClient* client, int state) {
    switch (state) {
        case AVAHI_CLIENT_S_RUNNING:
            // First connection, or the daemon is done renaming its host after a conflict.
            if (group_ == nullptr || avahi_entry_group_is_empty(group_))
                registerService(client);
            break;
        case AVAHI_CLIENT_S_COLLISION:
            // The daemon lost its host name and withdrew every record, ours included.
            reportError(AVAHI_ERR_COLLISION);
            break;
        case AVAHI_CLIENT_S_REGISTERING:
            // The daemon is registering its host name anew; ours goes back in once it runs.
            if (group_ != nullptr)
                avahi_entry_group_reset(group_);
            break;
        case AVAHI_CLIENT_FAILURE:
            reportError(avahi_client_errno(client));
            break;
        default:
            break;
    }
}

void ServicePublisher::registerService(AvahiClient* client) {
    if (group_ == nullptr) {
        group_ = avahi_entry_group_new(client, &Callbacks::group, this);
        if (group_ == nullptr) {
            reportError(avahi_client_errno(client));
            return;
        }
    }
    int result = avahi_entry_group_add_service(group_, kEveryInterface, kEitherProtocol,
                                               AvahiPublishFlags(0), name_.c_str(), type_.c_str(),
                                               nullptr, nullptr, port_, nullptr);
    if (result >= 0)
        result = avahi_entry_group_commit(group_);
    if (result < 0)
        reportError(result);
}

void ServicePublisher::groupChanged(AvahiEntryGroup* group, int state) {
    switch (state) {
        case AVAHI_ENTRY_GROUP_ESTABLISHED: {
            Outcome outcome;
            outcome.published = true;
            outcome.name = name_;
            outcome.port = port_;
            report(std::move(outcome));
            break;
        }
        case AVAHI_ENTRY_GROUP_COLLISION:
            reportError(AVAHI_ERR_COLLISION);
            break;
        case AVAHI_ENTRY_GROUP_FAILURE:
            reportError(avahi_client_errno(avahi_entry_group_get_client(group)));
            break;
        default:
            break;
    }
}

void ServicePublisher::reportError(int code) {
    Outcome outcome;
    outcome.name = name_;
    outcome.port = port_;
    outcome.errorCode = code;
    outcome.errorText = avahi_strerror(code);
    outcome.isCollision = code == AVAHI_ERR_COLLISION;
    report(std::move(outcome));
}

void ServicePublisher::report(Outcome outcome) {
    if (failed_)
        return;
    if (!outcome.published)
        failed_ = true;
    if (!live_->load())
        return;
    // The task carries its own copy of the handler, so it does not depend on the publisher
    // still existing when it runs; the live flag says whether it should still be heard.
    mainQueue_.post([live = live_, handler = handler_, outcome = std::move(outcome)] {
        if (live->load())
            handler(outcome);
    });
}

}  // namespace zarvo

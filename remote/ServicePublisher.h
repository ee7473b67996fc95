#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/MainQueue.h"

struct AvahiThreadedPoll;
struct AvahiClient;
struct AvahiEntryGroup;
struct AvahiTimeout;

namespace zarvo {

// Announces one named service on the local network over DNS-SD, through the machine's mDNS
// daemon (Avahi), in the default domain and without a TXT record.
//
// The daemon is talked to on a thread of the publisher's own, so that nothing here blocks the
// caller; every outcome is handed to the handler as a task on the main queue. A stopped or
// destroyed publisher hands over nothing more, even outcomes already queued.
class ServicePublisher {
  public:
    struct Outcome {
        bool published = false;  // true: the daemon has established the service
        std::string name;        // the service name announced or attempted
        long port = 0;
        int errorCode = 0;         // the Avahi error code when not published
        std::string errorText;     // its text
        bool isCollision = false;  // the name is taken (by this machine or another)
    };
    using Handler = std::function<void(const Outcome&)>;

    // Nothing is announced until start(). `type` is the DNS-SD type without the trailing dot,
    // e.g. "_oscjson._tcp".
    ServicePublisher(MainQueue& mainQueue, std::string name, std::string type, uint16_t port,
                     Handler handler);
    // Withdraws the service.
    ~ServicePublisher();
    ServicePublisher(const ServicePublisher&) = delete;
    ServicePublisher& operator=(const ServicePublisher&) = delete;

    // Connects to the daemon and registers the service; returns at once. Without a daemon the
    // handler is told of the failure.
    void start();
    // Withdraws the service and drops the connection to the daemon; the handler is not called
    // again. Waits for the publisher's thread to end; the handler, on the main queue, may call
    // it.
    void stop();

    const std::string& name() const { return name_; }
    uint16_t port() const { return port_; }

  private:
    struct Callbacks;  // the C callbacks handed to Avahi

    // On the publisher's thread.
    void connectNow();
    void clientChanged(AvahiClient* client, int state);
    void groupChanged(AvahiEntryGroup* group, int state);
    void registerService(AvahiClient* client);
    void report(Outcome outcome);
    void reportError(int code);

    MainQueue& mainQueue_;
    const std::string name_;
    const std::string type_;
    const uint16_t port_;
    Handler handler_;

    // Cleared by stop(); outcomes queued on the main queue check it before reaching the handler.
    std::shared_ptr<std::atomic<bool>> live_ = std::make_shared<std::atomic<bool>>(true);

    std::mutex lifecycle_;  // guards the Avahi objects against a concurrent start and stop
    AvahiThreadedPoll* poll_ = nullptr;
    AvahiClient* client_ = nullptr;     // used on the publisher's thread, freed after it ends
    AvahiEntryGroup* group_ = nullptr;  // likewise
    bool failed_ = false;  // a failure was reported: later state changes say nothing more
};

}  // namespace zarvo

#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/MainQueue.h"
#include "remote/OSCMessage.h"
#include "remote/OSCQueryHttp.h"
#include "remote/OSCQueryNode.h"
#include "remote/PacketBacklog.h"
#include "remote/PortBinding.h"
#include "remote/ServicePublisher.h"
#include "remote/WebSocketFrames.h"

namespace zarvo {

// Publishes the application's OSC address space over OSCQuery: a small HTTP/1.1 server answering
// GET and HEAD with JSON descriptions of the address tree, the current values read on the main
// queue, and a host-information document naming the UDP port that accepts OSC messages.
//
// Values are never set over HTTP. Each accepted connection is served on its own thread, one
// request per connection, which must arrive whole within 5 seconds, so idle clients hold up no
// one else. A running server is announced on the local network as a "_oscjson._tcp." DNS-SD
// service; the announcement, its outcome and its withdrawal are handled on the main queue.
//
// The same port speaks WebSocket: a client LISTENs to addresses and is sent each new value as an
// OSC message in a binary frame; an OSC packet it sends in a binary frame is handled as one
// arriving on the OSC port. The port also serves the remote control page at /remote.
//
// Limits that keep the server standing whatever clients do: at most kMaxConnections at once,
// frames and messages of at most 64 KiB, a bounded queue of values per WebSocket client (a
// client that does not read them is dropped), a bounded backlog of OSC packets waiting for the
// main queue. No connection thread ever waits for the main queue without a time limit.
class OSCQueryServer {
  public:
    using ValueProvider = OSCQueryNode::ValueProvider;

    // How many TCP ports a start tries, beginning with the requested one.
    static constexpr long kPortsTried = kPortsTriedFromFirst;
    // The longest a request waits for the main queue to read its values.
    static constexpr double kValueTimeoutSeconds = 1.0;
    // Connections served at once, HTTP and WebSocket together; more are closed on arrival.
    static constexpr long kMaxConnections = 64;
    // The time a whole HTTP request may take to arrive.
    static constexpr double kRequestDeadlineSeconds = 5.0;
    // Bytes of values a WebSocket client may leave unread before it is dropped.
    static constexpr size_t kMaxQueuedBytes = 256 * 1024;
    // A silent WebSocket client is pinged after this long, and dropped after twice as long.
    static constexpr double kWebSocketIdleSeconds = 20.0;

    // A stopped server with an empty tree. Value providers run on `mainQueue`, which must outlive
    // the server.
    explicit OSCQueryServer(MainQueue& mainQueue);
    // Stops listening and waits for the connections being served to finish.
    ~OSCQueryServer();
    OSCQueryServer(const OSCQueryServer&) = delete;
    OSCQueryServer& operator=(const OSCQueryServer&) = delete;

    // The process's server, created on first use with the given main queue (later calls ignore
    // their argument). Never destroyed.
    static OSCQueryServer& shared(MainQueue& mainQueue);

    // Adds an address to the tree. Ignored unless the address starts with "/" and holds none of
    // "*?[]{}#, ". Registering an address again keeps its first type and description and takes
    // the new access (unless 0), range (unless empty) and provider (unless none).
    void registerOSCAddress(std::string_view address, std::string_view typeTags,
                            std::string_view description, long access = 0,
                            const nlohmann::json& range = nlohmann::json::array(),
                            ValueProvider valueProvider = {});
    // Replaces the tree by an empty root.
    void clearRegisteredAddresses();

    // Stops any previous run, then listens on the first free TCP port of the 16 from `firstPort`
    // on. Returns whether one was bound; on success the server is then announced (publishBonjour).
    bool startOnPort(long firstPort);
    // Closes the listening socket and withdraws the announcement (asynchronously, on the main
    // queue). Connections already accepted finish on their own.
    void stop();

    // The default service name, when no server name is set.
    static constexpr const char* kDefaultServiceName = "OSCQuery";
    // Announces the server under its name (serverName, or the default), allowing one retry under
    // "<name> <port>" should the name be taken.
    void publishBonjour();
    // Announces the server under the given name, from the main queue, provided that it still
    // listens then on the port it has now.
    void publishBonjourWithName(const std::string& name);

    long httpPort() const;
    bool isRunning() const;

    // The name given in the host information; none means kDefaultHostName.
    static constexpr const char* kDefaultHostName = "OSCQuery";
    std::optional<std::string> serverName() const;
    void setServerName(std::optional<std::string> name);
    // The UDP port announced as OSC_PORT.
    long oscPort() const { return oscPort_.load(); }
    void setOscPort(long port) { oscPort_.store(port); }

    // The host-information document.
    nlohmann::json hostInfoDictionary() const;

    using Response = OSCQueryResponse;
    // The answer for a decoded path and an optional attribute (the query name). Waits for the
    // main queue when the answer holds values, so never call it on the main thread.
    Response responseForPath(const std::string& path, const std::optional<std::string>& attribute);

    // The complete answer (header and body) to the raw bytes of one request.
    std::string responseForRequest(std::string_view request);

    using MessageHandler = std::function<void(const OSCMessage&)>;
    // Handles, on the main queue, the OSC messages that WebSocket clients send; the receiver of
    // the OSC port is given the same one.
    void setMessageHandler(MessageHandler handler);

    // On the main queue, after values may have changed: sends every WebSocket client the values
    // it listens to that differ from the last it was sent (all of them, the first time).
    void publishListenedValues();

    // WebSocket clients connected now.
    size_t webSocketCount() const;

  private:
    class WebSocketSession;
    // Takes the bound socket and starts the thread that accepts its connections.
    void beginAccepting(const BoundPort& listening, int wakeFd);
    void acceptLoop(int listenFd, int wakeFd);
    // Accepts every pending connection; false when it had to stop for want of resources.
    bool acceptPending(int listenFd);
    void handleConnection(int fd);
    void serveWebSocket(int fd, std::string pending);
    // Handles one whole message or control frame from a client; false when the connection is
    // to end once what is queued has been sent.
    bool handleWebSocketEvent(WebSocketSession& session, WebSocketEvent& event);
    void handleWebSocketCommand(WebSocketSession& session, const std::string& text);
    void handleWebSocketPacket(const std::string& packet);
    // The provider and type of a registered address that has a value; none otherwise.
    std::optional<std::pair<ValueProvider, std::string>> listenable(const std::string& path) const;
    void endWebSockets();
    void fillValues(nlohmann::json& document, const std::vector<OSCQueryNode::ValueJob>& jobs);
    // Takes the listening socket and the announcement down; returns the announcement, which the
    // caller withdraws.
    std::shared_ptr<ServicePublisher> stopLocked();
    // Withdraws a taken-out announcement on the main queue.
    void withdrawLater(std::shared_ptr<ServicePublisher> netService);
    // Queues the announcement under the name and port; the first attempt after publishBonjour
    // re-arms the retry after a taken name.
    void announce(const std::string& name, long port, bool firstAttempt);
    // The outcome of an announcement, on the main queue.
    void publicationEnded(const ServicePublisher::Outcome& outcome);

    // Shared with the tasks this server queues on the main queue, which run only while it lives.
    struct Lifeline {
        std::mutex mutex;
        bool alive = true;
    };
    // Runs the task on the main queue unless the server is gone by then.
    void onMainQueue(std::function<void()> task);

    MainQueue& mainQueue_;

    mutable std::mutex stateMutex_;  // guards the tree, the listening state and the port
    std::unique_ptr<OSCQueryNode> root_;
    int listenFd_ = -1;
    int wakeFd_ = -1;  // wakes the accept thread when stopping
    std::thread acceptThread_;
    long httpPort_ = 0;
    bool running_ = false;
    std::shared_ptr<ServicePublisher> netService_;  // the current announcement, if any

    bool collisionRetried_ = false;  // main queue only: the one retry after a taken name is spent
    std::shared_ptr<Lifeline> lifeline_ = std::make_shared<Lifeline>();

    std::mutex lifecycle_;  // serialises starts and stops

    mutable std::mutex nameMutex_;
    std::optional<std::string> serverName_;
    std::atomic<long> oscPort_{0};

    mutable std::mutex sessionsMutex_;
    std::vector<std::shared_ptr<WebSocketSession>> sessions_;  // guarded by sessionsMutex_
    std::mutex handlerMutex_;
    std::shared_ptr<const MessageHandler> messageHandler_;  // guarded by handlerMutex_
    const std::shared_ptr<PacketBacklog> backlog_ = std::make_shared<PacketBacklog>();

    // Connections still being served, so that destruction can wait for them.
    std::mutex connectionsMutex_;
    std::condition_variable connectionsDone_;
    long activeConnections_ = 0;
};

}  // namespace zarvo

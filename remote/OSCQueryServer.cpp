#include "remote/OSCQueryServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <system_error>
#include <utility>

#include "platform/Log.h"

namespace zarvo {
namespace {

using nlohmann::json;

constexpr size_t kReceiveChunk = 2048;
constexpr size_t kMaxRequestBytes = 16384;
constexpr int kSocketTimeoutSeconds = 5;
constexpr const char* kServiceType = "_oscjson._tcp";

std::string errorText(int code) {
    char buffer[256];
    // The GNU strerror_r, which may hand back a static string instead of filling the buffer.
    return strerror_r(code, buffer, sizeof buffer);
}

std::vector<std::string> pathComponents(std::string_view path) {
    std::vector<std::string> components;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string_view::npos)
            end = path.size();
        if (end > start)
            components.emplace_back(path.substr(start, end - start));
        start = end + 1;
    }
    return components;
}

bool isValidUTF8(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        const auto byte = static_cast<unsigned char>(text[i]);
        size_t extra = 0;
        uint32_t codePoint = 0;
        if (byte < 0x80) {
            ++i;
            continue;
        } else if ((byte & 0xE0) == 0xC0) {
            extra = 1;
            codePoint = byte & 0x1Fu;
        } else if ((byte & 0xF0) == 0xE0) {
            extra = 2;
            codePoint = byte & 0x0Fu;
        } else if ((byte & 0xF8) == 0xF0) {
            extra = 3;
            codePoint = byte & 0x07u;
        } else {
            return false;
        }
        if (i + extra >= text.size())
            return false;
        for (size_t k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            codePoint = (codePoint << 6) | (next & 0x3Fu);
        }
        static constexpr uint32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
        if (codePoint < kSmallest[extra] || codePoint > 0x10FFFF ||
            (codePoint >= 0xD800 && codePoint <= 0xDFFF))
            return false;
        i += extra + 1;
    }
    return true;
}

// Turns ISO 8859-1 bytes into UTF-8 text.
std::string latin1ToUTF8(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size() * 2);
    for (char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            text.push_back(c);
        } else {
            text.push_back(static_cast<char>(0xC0 | (byte >> 6)));
            text.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
        }
    }
    return text;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Percent-decodes the text; nothing when an escape is malformed or the result is not UTF-8.
std::optional<std::string> percentDecoded(std::string_view text) {
    std::string decoded;
    decoded.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            decoded.push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size())
            return std::nullopt;
        const int high = hexDigit(text[i + 1]);
        const int low = hexDigit(text[i + 2]);
        if (high < 0 || low < 0)
            return std::nullopt;
        decoded.push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    if (!isValidUTF8(decoded))
        return std::nullopt;
    return decoded;
}

const char* reasonPhrase(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 204:
            return "No Content";
        case 400:
            return "Bad Request";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        default:
            return "Error";
    }
}

bool isKnownAttribute(const std::string& name) {
    static const std::array<const char*, 14> kKnown = {
        "FULL_PATH", "CONTENTS", "TYPE",          "ACCESS",   "DESCRIPTION", "VALUE",     "RANGE",
        "TAGS",      "UNIT",     "EXTENDED_TYPE", "CRITICAL", "CLIPMODE",    "OVERLOADS", "HTML"};
    for (const char* known : kKnown)
        if (name == known)
            return true;
    return false;
}

void sendAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent <= 0)
            return;
        bytes.remove_prefix(static_cast<size_t>(sent));
    }
}

void setSocketOptions(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK) != 0)
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    timeval timeout{};
    timeout.tv_sec = kSocketTimeoutSeconds;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
}

}  // namespace

// ---- Node ----

json OSCQueryNode::jsonRepresentation(std::vector<ValueJob>* jobs) const {
    return render(jobs, json::json_pointer());
}

json OSCQueryNode::render(std::vector<ValueJob>* jobs, const json::json_pointer& where) const {
    json map = json::object();
    map["FULL_PATH"] = fullPath;
    long shownAccess = access;
    if (shownAccess == 0)
        shownAccess = valueProvider ? 3 : (isMethod ? 2 : 0);
    map["ACCESS"] = shownAccess;
    if (isMethod && typeTags && !typeTags->empty())
        map["TYPE"] = *typeTags;
    if (nodeDescription && !nodeDescription->empty())
        map["DESCRIPTION"] = *nodeDescription;
    if (range && range->is_array() && !range->empty())
        map["RANGE"] = *range;
    if (jobs != nullptr && valueProvider)
        jobs->push_back({where, valueProvider});
    if (!children.empty()) {
        json contents = json::object();
        for (const auto& [childName, child] : children)
            contents[childName] = child->render(jobs, where / "CONTENTS" / childName);
        map["CONTENTS"] = std::move(contents);
    }
    return map;
}

// ---- Server ----

OSCQueryServer::OSCQueryServer(MainQueue& mainQueue)
    : mainQueue_(mainQueue), root_(std::make_unique<OSCQueryNode>()) {}

OSCQueryServer::~OSCQueryServer() {
    {
        std::lock_guard lock(lifeline_->mutex);
        lifeline_->alive = false;
    }
    // Withdrawn here rather than on the main queue, which may not run again before it ends.
    std::shared_ptr<ServicePublisher> netService;
    {
        std::lock_guard lifecycle(lifecycle_);
        netService = stopLocked();
    }
    if (netService)
        netService->stop();
    std::unique_lock lock(connectionsMutex_);
    connectionsDone_.wait(lock, [this] { return activeConnections_ == 0; });
}

OSCQueryServer& OSCQueryServer::shared(MainQueue& mainQueue) {
    static auto* const server = new OSCQueryServer(mainQueue);
    return *server;
}

void OSCQueryServer::registerOSCAddress(std::string_view address, std::string_view typeTags,
                                        std::string_view description, long access,
                                        const json& range, ValueProvider valueProvider) {
    if (address.empty() || address.front() != '/' ||
        address.find_first_of("*?[]{}#, ") != std::string_view::npos)
        return;
    const std::vector<std::string> components = pathComponents(address);
    if (components.empty())
        return;

    std::lock_guard lock(stateMutex_);
    OSCQueryNode* node = root_.get();
    std::string fullPath;
    for (const std::string& component : components) {
        fullPath += "/" + component;
        auto& child = node->children[component];
        if (!child) {
            child = std::make_unique<OSCQueryNode>();
            child->name = component;
            child->fullPath = fullPath;
        }
        node = child.get();
    }
    node->isMethod = true;
    if (!node->typeTags && !typeTags.empty())
        node->typeTags = std::string(typeTags);
    if (!node->nodeDescription && !description.empty())
        node->nodeDescription = std::string(description);
    if (access != 0)
        node->access = access;
    if (range.is_array() && !range.empty())
        node->range = range;
    if (valueProvider)
        node->valueProvider = std::move(valueProvider);
}

void OSCQueryServer::clearRegisteredAddresses() {
    auto fresh = std::make_unique<OSCQueryNode>();
    std::lock_guard lock(stateMutex_);
    root_.swap(fresh);
}

long OSCQueryServer::httpPort() const {
    std::lock_guard lock(stateMutex_);
    return httpPort_;
}

bool OSCQueryServer::isRunning() const {
    std::lock_guard lock(stateMutex_);
    return running_;
}

std::optional<std::string> OSCQueryServer::serverName() const {
    std::lock_guard lock(nameMutex_);
    return serverName_;
}

void OSCQueryServer::setServerName(std::optional<std::string> name) {
    std::lock_guard lock(nameMutex_);
    serverName_ = std::move(name);
}

json OSCQueryServer::hostInfoDictionary() const {
    return json{{"NAME", serverName().value_or("Vesmo")},
                {"OSC_PORT", oscPort()},
                {"OSC_TRANSPORT", "UDP"},
                {"EXTENSIONS",
                 {{"ACCESS", true},
                  {"CLIPMODE", false},
                  {"CRITICAL", false},
                  {"DESCRIPTION", true},
                  {"LISTEN", false},
                  {"PATH_CHANGED", false},
                  {"RANGE", true},
                  {"TAGS", false},
                  {"UNIT", false},
                  {"VALUE", true}}}};
}

// ---- Listening ----

bool OSCQueryServer::startOnPort(long firstPort) {
    std::unique_lock lifecycle(lifecycle_);
    withdrawLater(stopLocked());

    int listenFd = -1;
    long port = 0;
    for (long i = 0; i < kPortsTried; ++i) {
        const long candidate = firstPort + i;
        if (candidate <= 0 || candidate > 65535)
            break;
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            Log("OSCQuery: socket() failed: " + errorText(errno));
            return false;
        }
        const int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        address.sin_port = htons(static_cast<uint16_t>(candidate));
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
            ::listen(fd, 16) == 0) {
            listenFd = fd;
            port = candidate;
            break;
        }
        ::close(fd);
    }
    if (listenFd < 0) {
        Log("OSCQuery: could not bind a TCP port starting at " + std::to_string(firstPort));
        return false;
    }
    const int wakeFd = ::eventfd(0, EFD_CLOEXEC);
    if (wakeFd < 0) {
        Log("OSCQuery: could not create the listening watch: " + errorText(errno));
        ::close(listenFd);
        return false;
    }
    ::fcntl(listenFd, F_SETFL, ::fcntl(listenFd, F_GETFL) | O_NONBLOCK);
    {
        std::lock_guard lock(stateMutex_);
        listenFd_ = listenFd;
        wakeFd_ = wakeFd;
        httpPort_ = port;
        running_ = true;
        acceptThread_ = std::thread([this, listenFd, wakeFd] { acceptLoop(listenFd, wakeFd); });
    }
    lifecycle.unlock();
    Log("OSCQuery server started on TCP port " + std::to_string(port) + " (namespace of OSC port " +
        std::to_string(oscPort()) + ")");
    publishBonjour();
    return true;
}

void OSCQueryServer::stop() {
    std::lock_guard lifecycle(lifecycle_);
    withdrawLater(stopLocked());
}

void OSCQueryServer::withdrawLater(std::shared_ptr<ServicePublisher> netService) {
    // The publisher withdraws the service when stopped; it needs nothing of the server for that.
    if (netService)
        mainQueue_.post([netService = std::move(netService)] { netService->stop(); });
}

std::shared_ptr<ServicePublisher> OSCQueryServer::stopLocked() {
    std::thread acceptThread;
    int listenFd = -1;
    int wakeFd = -1;
    std::shared_ptr<ServicePublisher> netService;
    {
        std::lock_guard lock(stateMutex_);
        netService = std::move(netService_);
        acceptThread = std::move(acceptThread_);
        listenFd = std::exchange(listenFd_, -1);
        wakeFd = std::exchange(wakeFd_, -1);
        httpPort_ = 0;
        running_ = false;
    }
    if (wakeFd >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(wakeFd, &one, sizeof one);
    }
    if (acceptThread.joinable())
        acceptThread.join();
    if (listenFd >= 0)
        ::close(listenFd);
    if (wakeFd >= 0)
        ::close(wakeFd);
    return netService;
}

// ---- Announcing ----

void OSCQueryServer::onMainQueue(std::function<void()> task) {
    mainQueue_.post([lifeline = lifeline_, task = std::move(task)] {
        std::lock_guard lock(lifeline->mutex);
        if (lifeline->alive)
            task();
    });
}

void OSCQueryServer::publishBonjour() {
    announce(serverName().value_or(kDefaultServiceName), httpPort(), true);
}

void OSCQueryServer::publishBonjourWithName(const std::string& name) {
    announce(name, httpPort(), false);
}

void OSCQueryServer::announce(const std::string& name, long port, bool firstAttempt) {
    onMainQueue([this, name, port, firstAttempt] {
        if (firstAttempt)
            collisionRetried_ = false;
        auto publisher = std::make_shared<ServicePublisher>(
            mainQueue_, name, kServiceType, static_cast<uint16_t>(port),
            [this, lifeline = lifeline_](const ServicePublisher::Outcome& outcome) {
                std::lock_guard lock(lifeline->mutex);
                if (lifeline->alive)
                    publicationEnded(outcome);
            });
        std::shared_ptr<ServicePublisher> previous;
        {
            // A server stopped or restarted in the meantime is not announced under this port.
            std::lock_guard lock(stateMutex_);
            if (!running_ || httpPort_ != port)
                return;
            previous = std::exchange(netService_, publisher);
        }
        if (previous)
            previous->stop();
        publisher->start();
        Log("OSCQuery service published for Bonjour as \"" + name + "\" (_oscjson._tcp. port " +
            std::to_string(port) + ")");
    });
}

void OSCQueryServer::publicationEnded(const ServicePublisher::Outcome& outcome) {
    {
        // Only the current announcement is heard; one replaced or withdrawn has no say.
        std::lock_guard lock(stateMutex_);
        if (!netService_ || netService_->name() != outcome.name ||
            netService_->port() != outcome.port)
            return;
    }
    if (outcome.published) {
        Log("OSCQuery: Bonjour publication confirmed as \"" + outcome.name +
            "\" (_oscjson._tcp. port " + std::to_string(outcome.port) + ")");
        return;
    }
    if (outcome.isCollision && !collisionRetried_) {
        collisionRetried_ = true;
        const std::string name = serverName().value_or(kDefaultServiceName);
        const std::string retryName = name + " " + std::to_string(httpPort());
        Log("OSCQuery: nom Bonjour « " + name + " » déjà pris sur cette machine — nouvelle " +
            "tentative sous « " + retryName + " »");
        publishBonjourWithName(retryName);
        return;
    }
    Log("OSCQuery: Bonjour publication failed: " + outcome.errorText + " (Avahi error " +
        std::to_string(outcome.errorCode) + ")");
}

void OSCQueryServer::acceptLoop(int listenFd, int wakeFd) {
    bool backOff = false;
    for (;;) {
        // Out of descriptors, the pending connection stays readable: wait a little instead of
        // spinning on it.
        pollfd fds[2] = {{wakeFd, POLLIN, 0}, {listenFd, POLLIN, 0}};
        if (::poll(fds, backOff ? 1 : 2, backOff ? 50 : -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[0].revents != 0)
            return;
        if (backOff || fds[1].revents != 0)
            backOff = !acceptPending(listenFd);
    }
}

bool OSCQueryServer::acceptPending(int listenFd) {
    for (;;) {
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            return errno != EMFILE && errno != ENFILE && errno != ENOBUFS && errno != ENOMEM;
        setSocketOptions(fd);
        {
            std::lock_guard lock(connectionsMutex_);
            ++activeConnections_;
        }
        try {
            std::thread([this, fd] {
                handleConnection(fd);
                ::close(fd);
                std::lock_guard lock(connectionsMutex_);
                if (--activeConnections_ == 0)
                    connectionsDone_.notify_all();
            }).detach();
        } catch (const std::system_error&) {
            // No thread to serve it: drop the connection rather than stall the others.
            ::close(fd);
            std::lock_guard lock(connectionsMutex_);
            if (--activeConnections_ == 0)
                connectionsDone_.notify_all();
        }
    }
}

// ---- Serving ----

void OSCQueryServer::handleConnection(int fd) {
    std::string buffer;
    char chunk[kReceiveChunk];
    while (buffer.find("\r\n\r\n") == std::string::npos && buffer.size() < kMaxRequestBytes) {
        const size_t wanted = std::min(kReceiveChunk, kMaxRequestBytes - buffer.size());
        const ssize_t received = ::recv(fd, chunk, wanted, 0);
        if (received <= 0)
            return;
        buffer.append(chunk, static_cast<size_t>(received));
    }
    sendAll(fd, responseForRequest(buffer));
}

std::string OSCQueryServer::responseForRequest(std::string_view request) {
    const std::string text = isValidUTF8(request) ? std::string(request) : latin1ToUTF8(request);
    const std::string_view requestLine = std::string_view(text).substr(0, text.find("\r\n"));

    std::vector<std::string_view> parts;
    size_t start = 0;
    for (;;) {
        const size_t space = requestLine.find(' ', start);
        parts.push_back(requestLine.substr(
            start, space == std::string_view::npos ? std::string_view::npos : space - start));
        if (space == std::string_view::npos)
            break;
        start = space + 1;
    }
    if (parts.size() < 2)
        return httpMessage(400, std::nullopt);
    const std::string_view method = parts[0];
    if (method != "GET" && method != "HEAD")
        return httpMessage(405, std::nullopt);

    std::string_view target = parts[1];
    std::optional<std::string> attribute;
    if (const size_t question = target.find('?'); question != std::string_view::npos) {
        std::string_view query = target.substr(question + 1);
        query = query.substr(0, query.find('&'));
        query = query.substr(0, query.find('='));
        attribute = std::string(query);
        target = target.substr(0, question);
    }
    std::string path = percentDecoded(target).value_or(std::string(target));
    if (path.empty())
        path = "/";

    Response response = responseForPath(path, attribute);
    if (method == "HEAD")
        response.body.reset();
    return httpMessage(response.status, response.body);
}

OSCQueryServer::Response OSCQueryServer::responseForPath(
    const std::string& path, const std::optional<std::string>& attribute) {
    if (attribute == "HOST_INFO")
        return {200, hostInfoDictionary()};

    json rendering;
    std::vector<OSCQueryNode::ValueJob> jobs;
    {
        std::lock_guard lock(stateMutex_);
        const OSCQueryNode* node = root_.get();
        for (const std::string& component : pathComponents(path)) {
            const auto child = node->children.find(component);
            if (child == node->children.end())
                return {404, std::nullopt};
            node = child->second.get();
        }
        rendering = node->jsonRepresentation(&jobs);
    }
    fillValues(rendering, jobs);

    if (!attribute || attribute->empty())
        return {200, std::move(rendering)};
    if (!isKnownAttribute(*attribute))
        return {400, std::nullopt};
    const auto found = rendering.find(*attribute);
    if (found == rendering.end())
        return {204, std::nullopt};
    return {200, json{{*attribute, *found}}};
}

void OSCQueryServer::fillValues(json& document, const std::vector<OSCQueryNode::ValueJob>& jobs) {
    if (jobs.empty())
        return;

    // Shared with the main-queue task, which may outlive this wait when the main thread is busy.
    struct Reading {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        std::vector<std::optional<json>> results;
    };
    auto reading = std::make_shared<Reading>();
    std::vector<ValueProvider> providers;
    providers.reserve(jobs.size());
    for (const auto& job : jobs)
        providers.push_back(job.provider);

    mainQueue_.post([reading, providers = std::move(providers)] {
        std::vector<std::optional<json>> results;
        results.reserve(providers.size());
        for (const auto& provider : providers) {
            try {
                results.push_back(provider());
            } catch (const std::exception& error) {
                Log(std::string("OSCQuery: value provider raised: ") + error.what());
                results.emplace_back();
            } catch (...) {
                Log("OSCQuery: value provider raised: an unknown exception");
                results.emplace_back();
            }
        }
        std::lock_guard lock(reading->mutex);
        reading->results = std::move(results);
        reading->finished = true;
        reading->done.notify_all();
    });

    std::unique_lock lock(reading->mutex);
    if (!reading->done.wait_for(lock, std::chrono::duration<double>(kValueTimeoutSeconds),
                                [&] { return reading->finished; })) {
        Log("OSCQuery: timed out reading values (main thread busy)");
        return;
    }
    for (size_t i = 0; i < jobs.size() && i < reading->results.size(); ++i)
        if (reading->results[i])
            document[jobs[i].where]["VALUE"] = *reading->results[i];
}

std::string OSCQueryServer::httpMessage(int status, const std::optional<json>& body) {
    std::string bodyBytes;
    if (body) {
        try {
            bodyBytes = body->dump();
        } catch (const json::exception& error) {
            Log(std::string("OSCQuery: JSON serialization failed: ") + error.what());
            bodyBytes.clear();
        }
    }
    std::string message = "HTTP/1.1 " + std::to_string(status) + " " + reasonPhrase(status) +
                          "\r\n"
                          "Content-Type: application/json; charset=utf-8\r\n"
                          "Access-Control-Allow-Origin: *\r\n"
                          "Content-Length: " +
                          std::to_string(bodyBytes.size()) +
                          "\r\n"
                          "Connection: close\r\n\r\n";
    message += bodyBytes;
    return message;
}

}  // namespace zarvo

#include "tests/support/HttpTestServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <sstream>

namespace zarvo::test {
namespace {

bool sendAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
        if (sent <= 0) {
            return false;
        }
        data += sent;
        size -= static_cast<size_t>(sent);
    }
    return true;
}

const char* reason(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 404:
            return "Not Found";
        case 500:
            return "Internal Server Error";
        default:
            return "Status";
    }
}

}  // namespace

HttpTestServer::HttpTestServer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    ::bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    ::listen(listener_, 16);
    socklen_t length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { acceptLoop(); });
}

HttpTestServer::~HttpTestServer() {
    std::vector<std::thread> connections;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        for (int fd : openFds_) {
            ::shutdown(fd, SHUT_RDWR);
        }
    }
    stopped_.notify_all();
    ::shutdown(listener_, SHUT_RDWR);
    acceptor_.join();
    ::close(listener_);
    {
        std::lock_guard lock(mutex_);
        connections.swap(connections_);
    }
    for (auto& connection : connections) {
        connection.join();
    }
}

std::string HttpTestServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void HttpTestServer::route(const std::string& path, Response response) {
    std::lock_guard lock(mutex_);
    routes_[path] = std::move(response);
}

std::vector<HttpTestServer::Request> HttpTestServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

void HttpTestServer::acceptLoop() {
    for (;;) {
        pollfd entry{listener_, POLLIN, 0};
        ::poll(&entry, 1, 100);
        std::lock_guard lock(mutex_);
        if (stopping_) {
            return;
        }
        if (!(entry.revents & POLLIN)) {
            continue;
        }
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        openFds_.push_back(fd);
        connections_.emplace_back([this, fd] { serve(fd); });
    }
}

void HttpTestServer::serve(int fd) {
    std::string received;
    char buffer[4096];
    while (received.find("\r\n\r\n") == std::string::npos && received.size() < 65536) {
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0) {
            break;
        }
        received.append(buffer, static_cast<size_t>(got));
    }
    Request request;
    std::istringstream lines(received);
    std::string line;
    std::getline(lines, line);
    std::istringstream first(line);
    first >> request.method >> request.target;
    while (std::getline(lines, line) && line != "\r" && !line.empty()) {
        const size_t colon = line.find(':');
        if (colon == std::string::npos) {
            continue;
        }
        std::string name = line.substr(0, colon);
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(' '));
        while (!value.empty() && (value.back() == '\r' || value.back() == ' ')) {
            value.pop_back();
        }
        request.headers[name] = value;
    }

    Response response;
    bool found = false;
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
        auto route = routes_.find(request.target);
        if (route != routes_.end()) {
            response = route->second;
            found = true;
        }
    }
    if (!found) {
        response = Response{404, "{\"message\":\"Not Found\"}"};
    }
    if (response.neverAnswer) {
        std::unique_lock lock(mutex_);
        stopped_.wait(lock, [this] { return stopping_; });
    } else {
        const std::string head =
            "HTTP/1.1 " + std::to_string(response.status) + " " + reason(response.status) +
            "\r\nContent-Type: " + response.contentType +
            (response.location.empty() ? "" : "\r\nLocation: " + response.location) +
            "\r\nContent-Length: " + std::to_string(response.body.size() + response.missingBytes) +
            "\r\nConnection: close\r\n\r\n";
        bool ok = sendAll(fd, head.data(), head.size());
        const size_t chunk = response.chunkBytes ? response.chunkBytes : response.body.size();
        for (size_t at = 0; ok && at < response.body.size(); at += chunk) {
            ok = sendAll(fd, response.body.data() + at, std::min(chunk, response.body.size() - at));
            if (response.chunkBytes) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        }
    }
    std::lock_guard lock(mutex_);
    openFds_.erase(std::remove(openFds_.begin(), openFds_.end(), fd), openFds_.end());
    ::close(fd);
}

}  // namespace zarvo::test

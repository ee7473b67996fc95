#pragma once

// A small threaded HTTP/1.1 server on 127.0.0.1 for tests that download: each path answers
// with a chosen response; each connection runs on a thread of its own.

#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zarvo::test {

class HttpTestServer {
  public:
    struct Response {
        int status = 200;
        std::string body;
        std::string contentType = "application/json";
        // Announces this many more bytes than the body holds, then closes: a cut transfer.
        size_t missingBytes = 0;
        // Accepts the request and never answers, until the server goes away.
        bool neverAnswer = false;
        // Sent in pieces with a pause of 20 ms between them, so that progress can be seen.
        size_t chunkBytes = 0;
        // A redirect's destination, sent as the Location header when not empty.
        std::string location{};
    };
    struct Request {
        std::string method;
        std::string target;
        std::map<std::string, std::string> headers;  // names lower-cased
    };

    // Listens on a free port of the loopback interface.
    HttpTestServer();
    ~HttpTestServer();
    HttpTestServer(const HttpTestServer&) = delete;
    HttpTestServer& operator=(const HttpTestServer&) = delete;

    long port() const { return port_; }
    // "http://127.0.0.1:PORT" + path.
    std::string url(const std::string& path) const;

    // What a path answers; an unknown path answers 404.
    void route(const std::string& path, Response response);
    // The requests received so far, in order.
    std::vector<Request> requests() const;

  private:
    void acceptLoop();
    void serve(int fd);

    int listener_ = -1;
    long port_ = 0;
    mutable std::mutex mutex_;
    std::condition_variable stopped_;
    bool stopping_ = false;                   // guarded by mutex_
    std::map<std::string, Response> routes_;  // guarded by mutex_
    std::vector<Request> requests_;           // guarded by mutex_
    std::vector<std::thread> connections_;    // guarded by mutex_
    std::vector<int> openFds_;                // guarded by mutex_
    std::thread acceptor_;
};

}  // namespace zarvo::test

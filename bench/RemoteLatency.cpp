// How fast the recorder answers its remote controllers, measured against the real programs: a
// headless zarvo-recorder recording two zarvo-test-source pictures, driven over OSC, OSCQuery
// and through zarvo-recorder-mcp.
//
//   zarvo_remote_latency [rounds] [WxH]
//
// Reports the median and the 90th percentile of:
//   - a GET of the whole OSCQuery tree, idle, with 60 idle clients connected, and while both
//     sources are recorded;
//   - an OSC message until its setting is seen over OSCQuery;
//   - recorder_status through the MCP server, and recorder_start from request to answer.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <curl/curl.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/Spawn.h"
#include "remote/OSCMessage.h"

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A program run in the background, its output thrown away unless pipes are asked for.
class Program {
  public:
    Program(const std::vector<std::string>& arguments, bool pipes = false) {
        int in[2] = {-1, -1};
        int out[2] = {-1, -1};
        zarvo::SpawnOptions options;
        options.output = zarvo::SpawnStream::nullDevice();
        options.error = zarvo::SpawnStream::nullDevice();
        if (pipes) {
            if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
                return;
            }
            options.input = zarvo::SpawnStream::from(in[0]);
            options.output = zarvo::SpawnStream::from(out[1]);
        }
        zarvo::spawnProcess(arguments[0], arguments, options, &pid_);
        if (pipes) {
            close(in[0]);
            close(out[1]);
            in_ = in[1];
            out_ = out[0];
        }
    }
    ~Program() {
        if (in_ >= 0) {
            close(in_);
        }
        if (out_ >= 0) {
            close(out_);
        }
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status = 0;
            waitpid(pid_, &status, 0);
        }
    }
    bool running() const { return pid_ > 0; }

    // Writes one line and reads one line back.
    std::string ask(const std::string& line) {
        const std::string framed = line + "\n";
        if (write(in_, framed.data(), framed.size()) != static_cast<ssize_t>(framed.size())) {
            return "";
        }
        for (;;) {
            const size_t end = buffer_.find('\n');
            if (end != std::string::npos) {
                std::string answer = buffer_.substr(0, end);
                buffer_.erase(0, end + 1);
                return answer;
            }
            char chunk[65536];
            const ssize_t got = read(out_, chunk, sizeof chunk);
            if (got <= 0) {
                return "";
            }
            buffer_.append(chunk, static_cast<size_t>(got));
        }
    }

  private:
    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    std::string buffer_;
};

size_t appendBody(char* data, size_t size, size_t count, void* body) {
    static_cast<std::string*>(body)->append(data, size * count);
    return size * count;
}

std::optional<json> get(long port, const std::string& target) {
    CURL* curl = curl_easy_init();
    std::string body;
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + target;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 5000L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, appendBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    long status = 0;
    const bool done = curl_easy_perform(curl) == CURLE_OK &&
                      curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK;
    curl_easy_cleanup(curl);
    if (!done || status != 200) {
        return std::nullopt;
    }
    auto value = json::parse(body, nullptr, false);
    return value.is_discarded() ? std::nullopt : std::optional<json>(value);
}

json valueAt(long port, const std::string& address) {
    const auto answer = get(port, address + "?VALUE");
    return answer && answer->contains("VALUE") ? (*answer)["VALUE"][0] : json();
}

void send(long port, const zarvo::OSCMessage& message) {
    const auto bytes = message.packet();
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&address),
           sizeof address);
    close(fd);
}

bool waitUntil(const std::function<bool()>& condition, double seconds) {
    const auto until = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < until) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return condition();
}

void report(const char* what, std::vector<double> samples) {
    if (samples.empty()) {
        std::printf("%-52s no samples\n", what);
        return;
    }
    std::sort(samples.begin(), samples.end());
    const auto at = [&](double fraction) {
        return samples[std::min(
            samples.size() - 1,
            static_cast<size_t>(fraction * static_cast<double>(samples.size())))];
    };
    std::printf("%-52s median %7.2f ms   p90 %7.2f ms   (%zu samples)\n", what, at(0.5), at(0.9),
                samples.size());
}

std::vector<double> timeWholeTree(long port, int rounds) {
    std::vector<double> samples;
    for (int i = 0; i < rounds; ++i) {
        const auto start = Clock::now();
        if (get(port, "/")) {
            samples.push_back(millisecondsSince(start));
        }
    }
    return samples;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(5, std::atoi(argv[1])) : 100;
    const std::string size = argc > 2 ? argv[2] : "1280x720";
    curl_global_init(CURL_GLOBAL_DEFAULT);

    // A world of its own: settings, sharing registry and movies in a temporary folder.
    char folderTemplate[] = "/tmp/zarvo-remote-latency-XXXXXX";
    const std::filesystem::path folder = mkdtemp(folderTemplate);
    // Removed once the programs below have ended (they are destroyed before it).
    struct RemoveWhenDone {
        std::filesystem::path path;
        ~RemoveWhenDone() {
            std::error_code error;
            std::filesystem::remove_all(path, error);
        }
    } removeWhenDone{folder};
    std::filesystem::create_directories(folder / "movies");
    std::filesystem::create_directories(folder / "run");
    setenv("XDG_CONFIG_HOME", (folder / "config").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (folder / "run").c_str(), 1);
    setenv("ZARVO_OSC_PORT", "39230", 1);
    setenv("ZARVO_OSCQUERY_PORT", "39231", 1);

    Program first({ZARVO_TEST_SOURCE, "--name", "One", "--size", size});
    Program second({ZARVO_TEST_SOURCE, "--name", "Two", "--size", size});
    Program recorder({ZARVO_RECORDER, "--headless"});
    long queryPort = 0;
    long oscPort = 0;
    if (!waitUntil(
            [&] {
                for (long port = 39231; port < 39247 && queryPort == 0; ++port) {
                    const auto info = get(port, "/?HOST_INFO");
                    if (info && (*info)["NAME"] == "ZarvoRecorder") {
                        queryPort = port;
                        oscPort = (*info)["OSC_PORT"];
                    }
                }
                return queryPort != 0;
            },
            20)) {
        std::fprintf(stderr, "the recorder did not answer\n");
        return 1;
    }
    std::printf("recorder: OSC port %ld, OSCQuery port %ld; two sources of %s at 30 fps\n", oscPort,
                queryPort, size.c_str());

    send(oscPort, zarvo::OSCMessage("/folder", {(folder / "movies").string()}));
    send(oscPort, zarvo::OSCMessage("/source/1", {std::string("One")}));
    send(oscPort, zarvo::OSCMessage("/source/2", {std::string("Two")}));
    if (!waitUntil([&] { return valueAt(queryPort, "/status/source/2/online") == 1; }, 20)) {
        std::fprintf(stderr, "the sources did not come online\n");
        return 1;
    }

    report("GET / (whole tree), idle", timeWholeTree(queryPort, rounds));
    {
        // Clients that connect and say nothing hold a connection each until the server's
        // 5-second request deadline; they must not hold up anyone else. The server serves 64
        // connections at once, so a few places are left for the requests measured.
        std::vector<int> idle;
        for (int i = 0; i < 60; ++i) {
            const int fd = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port = htons(static_cast<uint16_t>(queryPort));
            if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
                idle.push_back(fd);
            } else {
                close(fd);
            }
        }
        std::printf("(%zu idle connections held open)\n", idle.size());
        report("GET / (whole tree), 60 idle clients connected", timeWholeTree(queryPort, 50));
        for (const int fd : idle) {
            close(fd);
        }
    }

    // An OSC message until the value it sets is read back over OSCQuery, polled without pause.
    std::vector<double> settle;
    for (int i = 0; i < rounds; ++i) {
        const int gap = 1 + i % 50;
        const auto start = Clock::now();
        send(oscPort, zarvo::OSCMessage("/gap", {gap}));
        while (valueAt(queryPort, "/gap") != gap && millisecondsSince(start) < 5000) {
        }
        settle.push_back(millisecondsSince(start));
    }
    report("OSC /gap until seen over OSCQuery, idle", settle);

    Program mcp({ZARVO_MCP_PROGRAM}, true);
    mcp.ask(R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{}})");
    const auto callTool = [&](const std::string& name) {
        const std::string line =
            mcp.ask(json{{"jsonrpc", "2.0"},
                         {"id", 1},
                         {"method", "tools/call"},
                         {"params", {{"name", name}, {"arguments", json::object()}}}}
                        .dump());
        const auto answer = json::parse(line, nullptr, false);
        return !answer.is_discarded() && answer.contains("result") &&
               !answer["result"].value("isError", true);
    };

    std::vector<double> starts;
    std::vector<double> stops;
    const int takes = std::max(3, rounds / 20);
    for (int i = 0; i < takes; ++i) {
        auto start = Clock::now();
        if (!callTool("recorder_start")) {
            std::fprintf(stderr, "recorder_start failed\n");
            return 1;
        }
        starts.push_back(millisecondsSince(start));
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        if (i == 0) {
            std::vector<double> statuses;
            std::vector<double> trees;
            for (int k = 0; k < rounds; ++k) {
                auto one = Clock::now();
                if (callTool("recorder_status")) {
                    statuses.push_back(millisecondsSince(one));
                }
                one = Clock::now();
                if (get(queryPort, "/")) {
                    trees.push_back(millisecondsSince(one));
                }
            }
            report("GET / (whole tree), recording two sources", trees);
            report("recorder_status through the MCP server, recording", statuses);
        }
        start = Clock::now();
        if (!callTool("recorder_stop")) {
            std::fprintf(stderr, "recorder_stop failed\n");
            return 1;
        }
        stops.push_back(millisecondsSince(start));
    }
    report("recorder_start, request to answer", starts);
    report("recorder_stop, request to answer (movies finished)", stops);

    std::printf("frames dropped in the last take: %s\n",
                valueAt(queryPort, "/status/dropped").dump().c_str());
    return 0;
}

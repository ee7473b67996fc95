#include "mcp/RecorderClient.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <thread>

namespace zarvo::mcp {

using json = nlohmann::json;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPlaces = 8;
// The largest magnitude sent for an integer setting; the application clamps further.
constexpr double kIntegerLimit = 1'000'000.0;
// An answer larger than this is not the application's tree.
constexpr size_t kLargestBody = 64u << 20;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void sleepFor(double seconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

// Lower case for comparing titles: ASCII, and the capitals of Latin-1 written as two UTF-8
// bytes; everything else is compared as it is.
std::string lowered(const std::string& text) {
    std::string out = text;
    for (size_t i = 0; i < out.size(); ++i) {
        const auto byte = static_cast<unsigned char>(out[i]);
        if (byte >= 'A' && byte <= 'Z') {
            out[i] = static_cast<char>(byte + 32);
        } else if (byte == 0xC3 && i + 1 < out.size()) {
            const auto next = static_cast<unsigned char>(out[i + 1]);
            if (next >= 0x80 && next <= 0x9E && next != 0x97) {
                out[i + 1] = static_cast<char>(next + 32);
            }
            ++i;
        }
    }
    return out;
}

bool containsIgnoringCase(const std::string& text, const std::string& part) {
    return lowered(text).find(lowered(part)) != std::string::npos;
}

bool isStringEqual(const json& value, const std::string& text) {
    return value.is_string() && value.get_ref<const std::string&>() == text;
}

double numberOr(const json& value, double fallback) {
    return value.is_number() ? value.get<double>() : fallback;
}

bool truthOf(const json& value) {
    return value.is_number() && value.get<double>() != 0.0;
}

void appendPadded(std::vector<uint8_t>& out, const std::string& text) {
    // A NUL inside the text would end the string for the reader, so the text stops there.
    const std::string written = text.substr(0, text.find('\0'));
    out.insert(out.end(), written.begin(), written.end());
    const size_t padding = 4 - written.size() % 4;
    out.insert(out.end(), padding, 0);
}

void appendBigEndian(std::vector<uint8_t>& out, uint32_t word) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<uint8_t>(word >> shift));
    }
}

size_t collectBody(char* data, size_t size, size_t count, void* target) {
    auto* body = static_cast<std::string*>(target);
    const size_t length = size * count;
    if (body->size() + length > kLargestBody) {
        return 0;  // makes the transfer fail
    }
    body->append(data, length);
    return length;
}

struct CurlDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};

void walk(const json& node, RecorderTree& tree) {
    if (!node.is_object()) {
        return;
    }
    const auto path = node.find("FULL_PATH");
    const auto value = node.find("VALUE");
    if (path != node.end() && path->is_string() && value != node.end() && value->is_array() &&
        !value->empty()) {
        const std::string& fullPath = path->get_ref<const std::string&>();
        tree.values[fullPath] = value->front();
        if (fullPath == "/source") {
            tree.titles.clear();
            const auto range = node.find("RANGE");
            if (range != node.end() && range->is_array() && !range->empty() &&
                range->front().is_object()) {
                const auto vals = range->front().find("VALS");
                if (vals != range->front().end() && vals->is_array()) {
                    for (const json& title : *vals) {
                        if (title.is_string()) {
                            tree.titles.push_back(title.get<std::string>());
                        }
                    }
                }
            }
        }
    }
    const auto contents = node.find("CONTENTS");
    if (contents != node.end() && contents->is_object()) {
        for (const auto& [name, child] : contents->items()) {
            walk(child, tree);
        }
    }
}

json statusDocument(const RecorderTree& tree) {
    json ndiTitles = json::array();
    {
        const std::string joined = tree.text("/status/ndi/sources");
        size_t start = 0;
        while (start <= joined.size()) {
            const size_t end = std::min(joined.find('\n', start), joined.size());
            if (end > start) {
                ndiTitles.push_back(joined.substr(start, end - start));
            }
            start = end + 1;
        }
    }

    json sources = json::array();
    for (int n = 1; n <= kPlaces; ++n) {
        const std::string title = tree.text("/source/" + std::to_string(n));
        if (title.empty()) {
            continue;
        }
        const std::string p = "/status/source/" + std::to_string(n) + "/";
        sources.push_back({{"place", n},
                           {"title", title},
                           {"kind", tree.value(p + "kind")},
                           {"online", truthOf(tree.value(p + "online"))},
                           {"width", tree.value(p + "width")},
                           {"height", tree.value(p + "height")},
                           {"fps", tree.value(p + "fps")},
                           {"file", tree.value(p + "file")},
                           {"frames", tree.value(p + "frames")},
                           {"dropped", tree.value(p + "dropped")},
                           {"sound", truthOf(tree.value(p + "sound"))},
                           {"soundWritten", tree.value(p + "soundwritten")}});
    }

    json available = json::array();
    for (const std::string& title : tree.titles) {
        const bool ndi = std::find(ndiTitles.begin(), ndiTitles.end(), title) != ndiTitles.end();
        available.push_back({{"title", title}, {"kind", ndi ? "ndi" : "syphon"}});
    }

    json settings = json::object();
    for (const char* key : {"codec", "fps", "bitrate", "folder", "name", "output", "layout", "gap",
                            "width", "height", "sound"}) {
        settings[key] = tree.value(std::string("/") + key);
    }
    settings["performance"] = truthOf(tree.value("/performance"));

    return {{"version", tree.value("/status/version")},
            {"sources", std::move(sources)},
            {"ndi", truthOf(tree.value("/status/ndi"))},
            {"sourcesAvailable", std::move(available)},
            {"settings", std::move(settings)},
            {"assembled",
             {{"width", tree.value("/status/assembled/width")},
              {"height", tree.value("/status/assembled/height")},
              {"file", tree.value("/status/assembled/file")},
              {"frames", tree.value("/status/assembled/frames")},
              {"dropped", tree.value("/status/assembled/dropped")},
              {"soundWritten", tree.value("/status/sound/written")}}},
            {"soundLeftOut", tree.value("/status/sound/leftout")},
            {"state", tree.value("/status/state")},
            {"elapsed", tree.value("/status/elapsed")},
            {"dropped", tree.value("/status/dropped")},
            {"error", tree.value("/status/error")},
            {"failure", tree.value("/status/failure")}};
}

// One change to send, and how to recognise it in the value read back.
struct PlannedChange {
    std::string address;
    OscArgument argument;
    std::function<bool(const json&)> matches;
};

const std::string& requireString(const json& arguments, const char* key) {
    const json& value = arguments.at(key);
    if (!value.is_string()) {
        throw RecorderError::badArguments(std::string(key) + " must be a string");
    }
    return value.get_ref<const std::string&>();
}

double requireNumber(const json& arguments, const char* key) {
    const json& value = arguments.at(key);
    if (!value.is_number()) {
        throw RecorderError::badArguments(std::string(key) + " must be a number");
    }
    return value.get<double>();
}

PlannedChange placeChange(int place, const std::string& title) {
    PlannedChange change{"/source/" + std::to_string(place), title, {}};
    if (title.empty()) {
        change.matches = [](const json& value) { return isStringEqual(value, ""); };
    } else {
        change.matches = [title](const json& value) {
            return value.is_string() && containsIgnoringCase(value.get<std::string>(), title);
        };
    }
    return change;
}

// Every setting given, checked for its type before anything is sent, in the order the changes
// are sent. The places are planned separately, once the titles have been checked.
std::vector<PlannedChange> plannedSettings(const json& arguments) {
    std::vector<PlannedChange> changes;
    const auto has = [&](const char* key) { return arguments.contains(key); };

    if (has("codec")) {
        const std::string codec = requireString(arguments, "codec");
        const std::string expected = lowered(codec);
        changes.push_back({"/codec", codec, [expected](const json& value) {
                               return isStringEqual(value, expected);
                           }});
    }
    for (const char* key : {"fps", "bitrate"}) {
        if (has(key)) {
            const double number = requireNumber(arguments, key);
            changes.push_back(
                {std::string("/") + key, static_cast<float>(number), [number](const json& value) {
                     return std::fabs(numberOr(value, -1.0) - number) <= 0.001;
                 }});
        }
    }
    for (const char* key : {"output", "layout"}) {
        if (has(key)) {
            const std::string text = requireString(arguments, key);
            const std::string expected = lowered(text);
            changes.push_back({std::string("/") + key, text, [expected](const json& value) {
                                   return isStringEqual(value, expected);
                               }});
        }
    }
    for (const char* key : {"gap", "width", "height"}) {
        if (has(key)) {
            const double number = requireNumber(arguments, key);
            const auto sent =
                static_cast<int32_t>(std::clamp(number, -kIntegerLimit, kIntegerLimit));
            const double expected = std::round(number);
            changes.push_back({std::string("/") + key, sent, [expected](const json& value) {
                                   return numberOr(value, -1.0) == expected;
                               }});
        }
    }
    if (has("sound")) {
        const std::string sound = requireString(arguments, "sound");
        changes.push_back({"/sound", sound, [sound](const json& value) {
                               if (sound.empty()) {
                                   return isStringEqual(value, "");
                               }
                               return value.is_string() &&
                                      containsIgnoringCase(value.get<std::string>(), sound);
                           }});
    }
    if (has("performance")) {
        const json& value = arguments.at("performance");
        if (!value.is_boolean()) {
            throw RecorderError::badArguments("performance must be true or false");
        }
        const int32_t expected = value.get<bool>() ? 1 : 0;
        changes.push_back({"/performance", expected, [expected](const json& read) {
                               return read.is_number() &&
                                      static_cast<long long>(read.get<double>()) == expected;
                           }});
    }
    for (const char* key : {"folder", "name"}) {
        if (has(key)) {
            std::string text = requireString(arguments, key);
            if (std::string_view(key) == "folder") {
                text = expandTilde(text);
            }
            changes.push_back({std::string("/") + key, text,
                               [text](const json& value) { return isStringEqual(value, text); }});
        }
    }
    return changes;
}

// The titles asked for: "sources", else "source" as a list of one; none when neither is given.
std::optional<std::vector<std::string>> requestedTitles(const json& arguments) {
    if (arguments.contains("sources")) {
        const json& list = arguments.at("sources");
        if (!list.is_array() ||
            !std::all_of(list.begin(), list.end(), [](const json& t) { return t.is_string(); })) {
            throw RecorderError::badArguments("sources must be a list of titles");
        }
        if (list.size() > kPlaces) {
            throw RecorderError::badArguments("no more than " + std::to_string(kPlaces) +
                                              " sources can be recorded at once");
        }
        return list.get<std::vector<std::string>>();
    }
    if (arguments.contains("source")) {
        return std::vector<std::string>{requireString(arguments, "source")};
    }
    return std::nullopt;
}

std::string join(const std::vector<std::string>& parts, const std::string& separator) {
    std::string out;
    for (size_t i = 0; i < parts.size(); ++i) {
        out += (i == 0 ? "" : separator) + parts[i];
    }
    return out;
}

}  // namespace

// ---- Errors ----

RecorderError RecorderError::unreachable(const RecorderSearch& search) {
    const long long last = static_cast<long long>(search.preferredPort) + search.portsToTry - 1;
    return RecorderError(
        Kind::unreachable,
        search.applicationName + " is not running, or its OSCQuery server is not on ports " +
            std::to_string(search.preferredPort) + "\u2013" + std::to_string(last) +
            ". Launch the app and retry (set ZARVO_OSCQUERY_PORT if it uses "
            "another port).");
}

// ---- Wire formats ----

std::vector<uint8_t> encodeOscMessage(const std::string& address,
                                      const std::vector<OscArgument>& arguments) {
    std::string tags = ",";
    for (const OscArgument& argument : arguments) {
        tags += std::holds_alternative<int32_t>(argument) ? 'i'
                : std::holds_alternative<float>(argument) ? 'f'
                                                          : 's';
    }
    std::vector<uint8_t> out;
    appendPadded(out, address);
    appendPadded(out, tags);
    for (const OscArgument& argument : arguments) {
        if (const auto* integer = std::get_if<int32_t>(&argument)) {
            appendBigEndian(out, static_cast<uint32_t>(*integer));
        } else if (const auto* real = std::get_if<float>(&argument)) {
            appendBigEndian(out, std::bit_cast<uint32_t>(*real));
        } else {
            appendPadded(out, std::get<std::string>(argument));
        }
    }
    return out;
}

std::optional<json> httpGet(int port, const std::string& path, double timeoutSeconds) {
    if (port < 1 || port > 65535) {
        return std::nullopt;  // port 0 would mean the default HTTP port to libcurl
    }
    const std::unique_ptr<CURL, CurlDeleter> handle(curl_easy_init());
    if (!handle) {
        return std::nullopt;
    }
    CURL* curl = handle.get();
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + path;
    const long timeoutMs = std::max(1L, std::lround(timeoutSeconds * 1000.0));
    std::string body;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http");
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, timeoutMs);
    curl_easy_setopt(curl, CURLOPT_VERBOSE, 0L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collectBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    if (curl_easy_perform(curl) != CURLE_OK) {
        return std::nullopt;
    }
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    if (status != 200) {
        return std::nullopt;
    }
    json parsed = json::parse(body, nullptr, /*allow_exceptions=*/false);
    if (parsed.is_discarded()) {
        return std::nullopt;
    }
    return parsed;
}

// ---- The tree ----

json RecorderTree::value(const std::string& path) const {
    const auto found = values.find(path);
    return found == values.end() ? json(nullptr) : found->second;
}

std::string RecorderTree::text(const std::string& path) const {
    const auto found = values.find(path);
    return found != values.end() && found->second.is_string() ? found->second.get<std::string>()
                                                              : std::string();
}

RecorderTree RecorderTree::fromDocument(const json& root) {
    RecorderTree tree;
    walk(root, tree);
    return tree;
}

std::string expandTilde(const std::string& path) {
    if (path.empty() || path[0] != '~') {
        return path;
    }
    const size_t slash = path.find('/');
    const std::string user =
        path.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
    std::string home;
    if (user.empty()) {
        if (const char* variable = std::getenv("HOME"); variable != nullptr && *variable != 0) {
            home = variable;
        } else if (const passwd* entry = ::getpwuid(::getuid()); entry != nullptr) {
            home = entry->pw_dir;
        }
    } else if (const passwd* entry = ::getpwnam(user.c_str()); entry != nullptr) {
        home = entry->pw_dir;
    }
    if (home.empty()) {
        return path;
    }
    while (home.size() > 1 && home.back() == '/') {
        home.pop_back();
    }
    return slash == std::string::npos ? home : home + path.substr(slash);
}

// ---- Recorder ----

Recorder::Recorder(int queryPort, int oscPort, RecorderSearch search, RecorderTimes times)
    : queryPort_(queryPort), oscPort_(oscPort), search_(std::move(search)), times_(times) {}

Recorder Recorder::find(const RecorderSearch& search, const RecorderTimes& times) {
    for (long long port = search.preferredPort;
         port < static_cast<long long>(search.preferredPort) + search.portsToTry; ++port) {
        if (port < 1 || port > 65535) {
            continue;
        }
        const auto info = httpGet(static_cast<int>(port), "/?HOST_INFO", times.hostInfoTimeout);
        if (!info || !info->is_object()) {
            continue;
        }
        const auto name = info->find("NAME");
        const auto oscPort = info->find("OSC_PORT");
        if (name == info->end() || !isStringEqual(*name, search.applicationName) ||
            oscPort == info->end() || !oscPort->is_number_integer()) {
            continue;
        }
        // A port the application could not have bound is no way to reach it.
        const auto osc = oscPort->get<long long>();
        if (osc < 1 || osc > 65535) {
            continue;
        }
        return Recorder(static_cast<int>(port), static_cast<int>(osc), search, times);
    }
    throw RecorderError::unreachable(search);
}

RecorderTree Recorder::read() const {
    const auto document = httpGet(queryPort_, "/", times_.treeTimeout);
    if (!document || !document->is_object()) {
        throw RecorderError::unreachable(search_);
    }
    return RecorderTree::fromDocument(*document);
}

json Recorder::status() const {
    return statusDocument(read());
}

std::pair<std::string, std::string> Recorder::currentState() const {
    const RecorderTree tree = read();
    return {tree.text("/status/state"), tree.text("/status/error")};
}

void Recorder::send(const std::string& address, const std::vector<OscArgument>& arguments) const {
    const std::vector<uint8_t> message = encodeOscMessage(address, arguments);
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<uint16_t>(oscPort_));
    ::sendto(fd, message.data(), message.size(), 0, reinterpret_cast<const sockaddr*>(&to),
             sizeof to);
    ::close(fd);
}

json Recorder::configure(const json& arguments) const {
    const json& given = arguments.is_object() ? arguments : json::object();
    // Every argument is checked before anything is sent, so that a mistake in one leaves the
    // application as it was.
    const std::optional<std::vector<std::string>> titles = requestedTitles(given);
    const std::vector<PlannedChange> settings = plannedSettings(given);

    std::vector<PlannedChange> changes;
    if (titles) {
        const std::vector<std::string> available = read().titles;
        for (const std::string& title : *titles) {
            const bool known = std::any_of(
                available.begin(), available.end(),
                [&](const std::string& offered) { return containsIgnoringCase(offered, title); });
            if (!known) {
                throw RecorderError::failed("There is no source called \u201C" + title +
                                            "\u201D. Available: " + join(available, ", ") +
                                            ". Nothing was changed.");
            }
        }
        // Emptying place 1 moves the others up, so eight of these empty every place.
        for (int i = 0; i < kPlaces; ++i) {
            send("/source/1", {std::string()});
        }
        for (size_t i = 0; i < titles->size(); ++i) {
            changes.push_back(placeChange(static_cast<int>(i) + 1, (*titles)[i]));
        }
        if (titles->size() < kPlaces) {
            changes.push_back(placeChange(static_cast<int>(titles->size()) + 1, ""));
        }
    }
    changes.insert(changes.end(), settings.begin(), settings.end());
    if (changes.empty()) {
        return json::object();
    }

    for (const PlannedChange& change : changes) {
        send(change.address, {change.argument});
    }
    const auto sent = Clock::now();
    const auto failing = [&](const RecorderTree& tree) {
        return std::any_of(changes.begin(), changes.end(), [&](const PlannedChange& change) {
            return !change.matches(tree.value(change.address));
        });
    };
    RecorderTree tree = read();
    while (failing(tree) && secondsSince(sent) < times_.configureLimit) {
        sleepFor(times_.poll);
        tree = read();
    }

    json notApplied = json::object();
    for (const PlannedChange& change : changes) {
        const json value = tree.value(change.address);
        if (!change.matches(value)) {
            notApplied[change.address.substr(1)] = value;
        }
    }
    return notApplied;
}

json Recorder::configureTool(const json& arguments) const {
    const json notApplied = configure(arguments);
    json status = this->status();
    if (notApplied.empty()) {
        return status;
    }
    status["notApplied"] = notApplied;
    std::string text =
        "Some settings were not taken as given (the recorder's values are in notApplied)";
    const json& error = status["error"];
    if (error.is_string() && !error.get_ref<const std::string&>().empty()) {
        text += ": " + error.get<std::string>();
    }
    throw RecorderError::failed(text + "\n" + prettyJson(status));
}

json Recorder::start(const json& arguments) const {
    const std::string state = currentState().first;
    if (!state.empty() && state != "idle") {
        throw RecorderError::failed("A recording is already in progress. Stop it first.\n" +
                                    prettyJson(status()));
    }
    const json notApplied = configure(arguments);
    if (!notApplied.empty()) {
        json status = this->status();
        status["notApplied"] = notApplied;
        throw RecorderError::failed("Not started: some settings were not taken as given.\n" +
                                    prettyJson(status));
    }
    const std::string errorBefore = currentState().second;
    send("/record", {int32_t{1}});

    std::string newError;
    const bool ended = wait(times_.startLimit, [&] {
        const auto [nowState, error] = currentState();
        if (nowState == "recording") {
            return true;
        }
        if (!error.empty() && error != errorBefore) {
            newError = error;
            return true;
        }
        return false;
    });
    if (!newError.empty()) {
        throw RecorderError::failed("The recording did not start: " + newError);
    }
    if (!ended) {
        throw RecorderError::failed("The recording did not start.\n" + prettyJson(status()));
    }
    return status();
}

json Recorder::stop() const {
    if (currentState().first == "idle") {
        throw RecorderError::failed("There is no recording in progress.\n" + prettyJson(status()));
    }
    send("/record", {int32_t{0}});

    const auto began = Clock::now();
    bool idle = false;
    for (;;) {
        const auto document = httpGet(queryPort_, "/", times_.treeTimeout);
        if (!document || !document->is_object()) {
            throw RecorderError::unreachable(search_);
        }
        if (RecorderTree::fromDocument(*document).text("/status/state") == "idle") {
            idle = true;
            break;
        }
        if (secondsSince(began) >= times_.stopLimit) {
            break;
        }
        sleepFor(times_.poll);
    }

    const json status = this->status();
    if (!idle) {
        throw RecorderError::failed("The movie is still being finished.\n" + prettyJson(status));
    }
    const json& failure = status["failure"];
    if (failure.is_string() && !failure.get_ref<const std::string&>().empty()) {
        throw RecorderError::failed("The recording stopped with an error: " +
                                    failure.get<std::string>() + "\n" + prettyJson(status));
    }
    return status;
}

bool Recorder::wait(double seconds, const std::function<bool()>& test) const {
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(seconds));
    for (;;) {
        if (test()) {
            return true;
        }
        if (Clock::now() >= deadline) {
            return false;
        }
        sleepFor(times_.poll);
    }
}

// ---- The tools ----

void RecorderClientTools::locate() {
    recorder_.reset();
    recorder_ = Recorder::find(search_, times_);
}

const Recorder& RecorderClientTools::recorder() const {
    if (!recorder_) {
        throw RecorderError::unreachable(search_);
    }
    return *recorder_;
}

json RecorderClientTools::status() {
    return recorder().status();
}

json RecorderClientTools::configure(const json& arguments) {
    return recorder().configureTool(arguments);
}

json RecorderClientTools::start(const json& arguments) {
    return recorder().start(arguments);
}

json RecorderClientTools::stop() {
    return recorder().stop();
}

}  // namespace zarvo::mcp

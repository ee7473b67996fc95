#include "mcp/RecorderClient.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "engine/RecorderState.h"
#include "mcp/SettingsPlan.h"

namespace zarvo::mcp {

using json = nlohmann::json;

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void sleepFor(double seconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

// Whether the state read from the tree ("/status/state") is `state`.
bool isState(const std::string& text, RecorderState state) {
    return recorderStateNamed(text) == state;
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
    sendOscMessage(oscPort_, address, arguments);
}

json Recorder::configure(const json& arguments) const {
    const json& given = arguments.is_object() ? arguments : json::object();
    // Every argument is checked before anything is sent, so that a mistake in one leaves the
    // application as it was.
    const std::optional<std::vector<std::string>> titles = requestedTitles(given);
    const std::vector<PlannedChange> settings = plannedSettings(given);

    std::vector<PlannedChange> changes;
    if (titles) {
        requireOffered(*titles, read().titles);
        emptyPlaces();
        changes = plannedPlaces(*titles);
    }
    changes.insert(changes.end(), settings.begin(), settings.end());
    if (changes.empty()) {
        return json::object();
    }
    for (const PlannedChange& change : changes) {
        send(change.address, {change.argument});
    }
    return notApplied(changes, readUntilApplied(changes));
}

void Recorder::emptyPlaces() const {
    // Emptying place 1 moves the others up, so eight of these empty every place.
    for (int i = 0; i < kPlaces; ++i) {
        send("/source/1", {std::string()});
    }
}

RecorderTree Recorder::readUntilApplied(const std::vector<PlannedChange>& changes) const {
    const auto sent = Clock::now();
    RecorderTree tree = read();
    while (!allApplied(changes, tree) && secondsSince(sent) < times_.configureLimit) {
        sleepFor(times_.poll);
        tree = read();
    }
    return tree;
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
    if (!state.empty() && !isState(state, RecorderState::idle)) {
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
        if (isState(nowState, RecorderState::recording)) {
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
    if (isState(currentState().first, RecorderState::idle)) {
        throw RecorderError::failed("There is no recording in progress.\n" + prettyJson(status()));
    }
    send("/record", {int32_t{0}});

    const bool idle = wait(times_.stopLimit, [&] {
        return isState(read().text("/status/state"), RecorderState::idle);
    });

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

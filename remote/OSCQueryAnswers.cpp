#include "remote/OSCQueryServer.h"

#include <chrono>
#include <exception>
#include <utility>

#include "platform/Log.h"

namespace zarvo {

using nlohmann::json;

// ---- The address tree ----

void OSCQueryServer::registerOSCAddress(std::string_view address, std::string_view typeTags,
                                        std::string_view description, long access,
                                        const json& range, ValueProvider valueProvider) {
    if (!isRegistrableAddress(address))
        return;
    std::lock_guard lock(stateMutex_);
    root_->makeDescendant(address).becomeAddress(typeTags, description, access, range,
                                                 std::move(valueProvider));
}

void OSCQueryServer::clearRegisteredAddresses() {
    auto fresh = std::make_unique<OSCQueryNode>();
    std::lock_guard lock(stateMutex_);
    root_.swap(fresh);
}

// ---- Host information ----

std::optional<std::string> OSCQueryServer::serverName() const {
    std::lock_guard lock(nameMutex_);
    return serverName_;
}

void OSCQueryServer::setServerName(std::optional<std::string> name) {
    std::lock_guard lock(nameMutex_);
    serverName_ = std::move(name);
}

json OSCQueryServer::hostInfoDictionary() const {
    return json{{"NAME", serverName().value_or(kDefaultHostName)},
                {"OSC_PORT", oscPort()},
                {"OSC_TRANSPORT", "UDP"},
                {"EXTENSIONS",
                 {{"ACCESS", true},
                  {"CLIPMODE", false},
                  {"CRITICAL", false},
                  {"DESCRIPTION", true},
                  {"LISTEN", true},
                  {"PATH_CHANGED", false},
                  {"RANGE", true},
                  {"TAGS", false},
                  {"UNIT", false},
                  {"VALUE", true}}}};
}

// ---- Answers ----

std::string OSCQueryServer::responseForRequest(std::string_view request) {
    return answerOSCQueryRequest(
        request, [this](const std::string& path, const std::optional<std::string>& attribute) {
            return responseForPath(path, attribute);
        });
}

OSCQueryServer::Response OSCQueryServer::responseForPath(
    const std::string& path, const std::optional<std::string>& attribute) {
    if (attribute == "HOST_INFO")
        return {200, hostInfoDictionary()};

    json rendering;
    std::vector<OSCQueryNode::ValueJob> jobs;
    {
        std::lock_guard lock(stateMutex_);
        const OSCQueryNode* node = root_->find(path);
        if (node == nullptr)
            return {404, std::nullopt};
        rendering = node->jsonRepresentation(&jobs);
    }
    fillValues(rendering, jobs);
    return attributeResponse(std::move(rendering), attribute);
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
                logLine(std::string("OSCQuery: value provider raised: ") + error.what());
                results.emplace_back();
            } catch (...) {
                logLine("OSCQuery: value provider raised: an unknown exception");
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
        logLine("OSCQuery: timed out reading values (main thread busy)");
        return;
    }
    for (size_t i = 0; i < jobs.size() && i < reading->results.size(); ++i)
        if (reading->results[i])
            document[jobs[i].where]["VALUE"] = *reading->results[i];
}

}  // namespace zarvo

// The controller's remote side: its parameter table, the OSC messages it receives, and the two
// network services that carry them.

#include "engine/RecorderController.h"
#include "engine/RecorderParameterTable.h"
#include "remote/OSCQueryServer.h"
#include "remote/OSCReceiver.h"

namespace zarvo {

void RecorderController::makeParameters() {
    parameters_ = recorderParameterTable(weak_from_this());
    parametersByAddress_.clear();
    for (size_t i = 0; i < parameters_.size(); ++i) {
        parametersByAddress_.emplace(parameters_[i].address, i);
    }
}

const RecorderParameter* RecorderController::parameterForAddress(const std::string& address) const {
    const auto found = parametersByAddress_.find(address);
    return found == parametersByAddress_.end() ? nullptr : &parameters_[found->second];
}

void RecorderController::handleMessage(const OSCMessage& message) {
    const RecorderParameter* parameter = parameterForAddress(message.address());
    if (!parameter) {
        setError("There is no OSC address \u201C" + message.address() + "\u201D");
        return;
    }
    if (!parameter->set) {
        setError(message.address() + " can only be read");
        return;
    }
    if (const auto refusal = parameter->set(message.arguments())) {
        setError(message.address() + " " + *refusal);
    }
}

// --- The network -----------------------------------------------------------------------------

void RecorderController::registerParameter(const RecorderParameter& parameter) {
    queryServer_->registerOSCAddress(
        parameter.address, parameter.typeTags.value_or(""), parameter.summary, parameter.access(),
        parameter.range ? parameter.range() : nlohmann::json::array(), parameter.get);
}

void RecorderController::registerParametersWithPrefix(const std::string& prefix) {
    for (const auto& parameter : parameters_) {
        if (parameter.address.starts_with(prefix)) {
            registerParameter(parameter);
        }
    }
}

bool RecorderController::startNetwork(long oscPort, long queryPort, const std::string& name) {
    stopNetwork();

    auto receiver = std::make_unique<OSCReceiver>(*mainQueue_);
    const std::weak_ptr<RecorderController> weak = weak_from_this();
    // OSC packets sent over the OSCQuery port's WebSocket take the same road as datagrams.
    const auto handler = [weak](const OSCMessage& message) {
        if (auto controller = weak.lock()) {
            controller->handleMessage(message);
        }
    };
    if (!receiver->startOnPort(oscPort, handler)) {
        return failWithError("OSC could not listen on UDP port " + std::to_string(oscPort) +
                             " or those which follow");
    }
    receiver_ = std::move(receiver);
    oscPort_ = receiver_->port();

    queryServer_->setServerName(name);
    queryServer_->setOscPort(oscPort_);
    queryServer_->clearRegisteredAddresses();
    for (const auto& parameter : parameters_) {
        registerParameter(parameter);
    }
    queryServer_->setMessageHandler(handler);
    listenedValuesObserver_ =
        ScopedObserver(*notificationCenter_, kRecorderControllerDidChangeNotification, this,
                       [server = queryServer_](const auto&) { server->publishListenedValues(); });
    if (!queryServer_->startOnPort(queryPort)) {
        return failWithError("OSCQuery could not listen on TCP port " + std::to_string(queryPort) +
                             " or those which follow");
    }
    queryServerStarted_ = true;
    oscQueryPort_ = queryServer_->httpPort();
    changed();
    return true;
}

bool RecorderController::stopNetworkServices() {
    if (receiver_) {
        receiver_->stop();
        receiver_.reset();
    }
    listenedValuesObserver_.reset();
    if (queryServerStarted_) {
        queryServer_->setMessageHandler(nullptr);
        queryServer_->stop();
        queryServer_->clearRegisteredAddresses();
        queryServerStarted_ = false;
    }
    const bool portsChanged = oscPort_ != 0 || oscQueryPort_ != 0;
    oscPort_ = 0;
    oscQueryPort_ = 0;
    return portsChanged;
}

void RecorderController::stopNetwork() {
    if (stopNetworkServices()) {
        changed();
    }
}

}  // namespace zarvo

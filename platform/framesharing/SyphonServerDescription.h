#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

namespace zarvo {

// A published server as the directory lists it: string keys to values, read from the record the
// publisher leaves in the registry folder. Unknown keys are kept as they are.
using SyphonServerDescription = nlohmann::json;

// The server's own name (may be empty).
inline constexpr char kSyphonServerDescriptionNameKey[] = "SyphonServerDescriptionNameKey";
// The name of the application that publishes it.
inline constexpr char kSyphonServerDescriptionAppNameKey[] = "SyphonServerDescriptionAppNameKey";
// The server's identity: 32 lowercase hexadecimal digits, new for every server published.
inline constexpr char kSyphonServerDescriptionUUIDKey[] = "SyphonServerDescriptionUUIDKey";
// The publishing process, for people reading the records.
inline constexpr char kSyphonServerDescriptionProcessKey[] = "SyphonServerDescriptionProcessKey";
// When the server was published (nanoseconds of the real-time clock); orders the directory.
inline constexpr char kSyphonServerDescriptionStartKey[] = "SyphonServerDescriptionStartKey";

// Posted on the default notification centre by the shared server directory, from its own
// thread, after its list has changed. The object is the directory.
inline constexpr char kSyphonServerAnnounceNotification[] = "SyphonServerAnnounceNotification";
inline constexpr char kSyphonServerUpdateNotification[] = "SyphonServerUpdateNotification";
inline constexpr char kSyphonServerRetireNotification[] = "SyphonServerRetireNotification";

// The string stored under the key; "" when the key is missing or its value is not a string.
inline std::string syphonDescriptionString(const SyphonServerDescription& description,
                                           std::string_view key) {
    if (!description.is_object()) {
        return {};
    }
    const auto found = description.find(std::string(key));
    if (found == description.end() || !found->is_string()) {
        return {};
    }
    return found->get<std::string>();
}

}  // namespace zarvo

#pragma once

// The one-time copy of the older client application's recording settings into ours.

#include <string>
#include <vector>

#include "platform/UserDefaults.h"

namespace zarvo::app {

// The older client application whose recording settings are copied once into ours.
inline constexpr const char* kOlderClientDomain = "net.orvak.zarvo-client";
// Set in our domain once the copy was tried, so it never runs again.
inline constexpr const char* kMigratedKey = "SettingsMigratedFromZarvoClient";

// The settings taken over from the older client, in the order they are copied.
const std::vector<std::string>& migratedKeys();

// Copies the recording settings of the older client into the destination once: the first call
// marks the destination as migrated (before copying, so a failed copy is not retried) and
// copies each key the source holds and the destination does not. Values already in the
// destination are kept. Returns once the destination's file holds the result.
void migrateSettings(const UserDefaults& source, UserDefaults& destination);

}  // namespace zarvo::app

#include "App/SettingsMigration.h"

#include <nlohmann/json.hpp>

namespace zarvo::app {

const std::vector<std::string>& migratedKeys() {
    static const std::vector<std::string> keys = {
        "RecorderCodec",   "RecorderWidth",  "RecorderHeight", "RecorderFPS",
        "RecorderBitrate", "RecorderFolder", "RecorderName"};
    return keys;
}

void migrateSettings(const UserDefaults& source, UserDefaults& destination) {
    if (destination.boolForKey(kMigratedKey)) {
        return;
    }
    destination.setBool(kMigratedKey, true);
    const nlohmann::json from = source.storedValues();
    const nlohmann::json to = destination.storedValues();
    for (const std::string& key : migratedKeys()) {
        auto value = from.find(key);
        if (value != from.end() && !value->is_null() && !to.contains(key)) {
            destination.setObject(key, *value);
        }
    }
    // The copy is made once: it is in the file before the recorder starts, so anything that
    // reads the file from now on (another store, the next start) finds the copied values.
    destination.synchronize();
}

}  // namespace zarvo::app

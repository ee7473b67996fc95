#include "engine/MovieRecorderSettings.h"

#include "engine/NameTable.h"

namespace zarvo {

const std::vector<std::string>& MovieRecorderSettings::codecNames() {
    return codecNameTable().names();
}

const std::string& MovieRecorderSettings::nameForCodec(int64_t codec) {
    return codecNameTable().nameAt(codec);
}

bool MovieRecorderSettings::getCodec(int64_t& codec, std::string_view name) {
    const auto index = codecNameTable().indexOf(name);
    if (!index) {
        return false;
    }
    codec = *index;
    return true;
}

}  // namespace zarvo

#include "mcp/RecorderStatus.h"

#include <algorithm>

namespace zarvo::mcp {

using json = nlohmann::json;

namespace {

bool truthOf(const json& value) {
    return value.is_number() && value.get<double>() != 0.0;
}

// The source titles a "/source" node offers: the strings of its range's "VALS".
std::vector<std::string> offeredTitles(const json& node) {
    std::vector<std::string> titles;
    const auto range = node.find("RANGE");
    if (range == node.end() || !range->is_array() || range->empty() ||
        !range->front().is_object()) {
        return titles;
    }
    const auto vals = range->front().find("VALS");
    if (vals == range->front().end() || !vals->is_array()) {
        return titles;
    }
    for (const json& title : *vals) {
        if (title.is_string()) {
            titles.push_back(title.get<std::string>());
        }
    }
    return titles;
}

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
            tree.titles = offeredTitles(node);
        }
    }
    const auto contents = node.find("CONTENTS");
    if (contents != node.end() && contents->is_object()) {
        for (const auto& [name, child] : contents->items()) {
            walk(child, tree);
        }
    }
}

// The titles of the NDI sources, one a line in "/status/ndi/sources".
std::vector<std::string> ndiTitles(const RecorderTree& tree) {
    std::vector<std::string> titles;
    const std::string joined = tree.text("/status/ndi/sources");
    size_t start = 0;
    while (start <= joined.size()) {
        const size_t end = std::min(joined.find('\n', start), joined.size());
        if (end > start) {
            titles.push_back(joined.substr(start, end - start));
        }
        start = end + 1;
    }
    return titles;
}

// The places chosen, in order, with what each source delivers and its movie.
json chosenSources(const RecorderTree& tree) {
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
    return sources;
}

// The sources that can be chosen, each with its kind.
json availableSources(const RecorderTree& tree) {
    const std::vector<std::string> ndi = ndiTitles(tree);
    json available = json::array();
    for (const std::string& title : tree.titles) {
        const bool isNdi = std::find(ndi.begin(), ndi.end(), title) != ndi.end();
        available.push_back({{"title", title}, {"kind", isNdi ? "ndi" : "syphon"}});
    }
    return available;
}

json settingsDocument(const RecorderTree& tree) {
    json settings = json::object();
    for (const char* key : {"codec", "fps", "bitrate", "folder", "name", "output", "layout", "gap",
                            "width", "height", "sound"}) {
        settings[key] = tree.value(std::string("/") + key);
    }
    settings["performance"] = truthOf(tree.value("/performance"));
    return settings;
}

}  // namespace

bool isStringEqual(const json& value, const std::string& text) {
    return value.is_string() && value.get_ref<const std::string&>() == text;
}

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

json statusDocument(const RecorderTree& tree) {
    return {{"version", tree.value("/status/version")},
            {"sources", chosenSources(tree)},
            {"ndi", truthOf(tree.value("/status/ndi"))},
            {"sourcesAvailable", availableSources(tree)},
            {"settings", settingsDocument(tree)},
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

}  // namespace zarvo::mcp

#include "remote/OSCQueryNode.h"

#include <array>
#include <utility>

namespace zarvo {
namespace {

using nlohmann::json;

std::vector<std::string> pathComponents(std::string_view path) {
    std::vector<std::string> components;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string_view::npos)
            end = path.size();
        if (end > start)
            components.emplace_back(path.substr(start, end - start));
        start = end + 1;
    }
    return components;
}

bool isKnownAttribute(const std::string& name) {
    static const std::array<const char*, 14> kKnown = {
        "FULL_PATH", "CONTENTS", "TYPE",          "ACCESS",   "DESCRIPTION", "VALUE",     "RANGE",
        "TAGS",      "UNIT",     "EXTENDED_TYPE", "CRITICAL", "CLIPMODE",    "OVERLOADS", "HTML"};
    for (const char* known : kKnown)
        if (name == known)
            return true;
    return false;
}

}  // namespace

json OSCQueryNode::jsonRepresentation(std::vector<ValueJob>* jobs) const {
    return render(jobs, json::json_pointer());
}

json OSCQueryNode::render(std::vector<ValueJob>* jobs, const json::json_pointer& where) const {
    json map = json::object();
    map["FULL_PATH"] = fullPath;
    long shownAccess = access;
    if (shownAccess == 0)
        shownAccess = valueProvider ? 3 : (isMethod ? 2 : 0);
    map["ACCESS"] = shownAccess;
    if (isMethod && typeTags && !typeTags->empty())
        map["TYPE"] = *typeTags;
    if (nodeDescription && !nodeDescription->empty())
        map["DESCRIPTION"] = *nodeDescription;
    if (range && range->is_array() && !range->empty())
        map["RANGE"] = *range;
    if (jobs != nullptr && valueProvider)
        jobs->push_back({where, valueProvider});
    if (!children.empty()) {
        json contents = json::object();
        for (const auto& [childName, child] : children)
            contents[childName] = child->render(jobs, where / "CONTENTS" / childName);
        map["CONTENTS"] = std::move(contents);
    }
    return map;
}

OSCQueryNode& OSCQueryNode::makeDescendant(std::string_view address) {
    OSCQueryNode* node = this;
    std::string path;
    for (const std::string& component : pathComponents(address)) {
        path += "/" + component;
        auto& child = node->children[component];
        if (!child) {
            child = std::make_unique<OSCQueryNode>();
            child->name = component;
            child->fullPath = path;
        }
        node = child.get();
    }
    return *node;
}

const OSCQueryNode* OSCQueryNode::find(std::string_view path) const {
    const OSCQueryNode* node = this;
    for (const std::string& component : pathComponents(path)) {
        const auto child = node->children.find(component);
        if (child == node->children.end())
            return nullptr;
        node = child->second.get();
    }
    return node;
}

void OSCQueryNode::becomeAddress(std::string_view newTypeTags, std::string_view description,
                                 long newAccess, const json& newRange, ValueProvider provider) {
    isMethod = true;
    if (!typeTags && !newTypeTags.empty())
        typeTags = std::string(newTypeTags);
    if (!nodeDescription && !description.empty())
        nodeDescription = std::string(description);
    if (newAccess != 0)
        access = newAccess;
    if (newRange.is_array() && !newRange.empty())
        range = newRange;
    if (provider)
        valueProvider = std::move(provider);
}

bool isRegistrableAddress(std::string_view address) {
    return !address.empty() && address.front() == '/' &&
           address.find_first_of("*?[]{}#, ") == std::string_view::npos &&
           !pathComponents(address).empty();
}

OSCQueryResponse attributeResponse(json rendering, const std::optional<std::string>& attribute) {
    if (!attribute || attribute->empty())
        return {200, std::move(rendering)};
    if (!isKnownAttribute(*attribute))
        return {400, std::nullopt};
    const auto found = rendering.find(*attribute);
    if (found == rendering.end())
        return {204, std::nullopt};
    return {200, json{{*attribute, *found}}};
}

}  // namespace zarvo

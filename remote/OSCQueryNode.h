#pragma once

// The OSCQuery address tree: the nodes of the namespace the server publishes, how an address
// is added to it, how a path finds its node, and what an attribute selects of a node's
// description.

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "remote/OSCQueryHttp.h"

namespace zarvo {

// One node of the OSCQuery address tree: a registered address, or a container created only as a
// step on the way to one (the root is such a container).
struct OSCQueryNode {
    // Reads an address's current value; nothing means the address has no value to show.
    using ValueProvider = std::function<std::optional<nlohmann::json>()>;

    // One value still to read for a rendering: where the node's map sits inside the rendered
    // document, and the provider that gives its "VALUE".
    struct ValueJob {
        nlohmann::json::json_pointer where;
        ValueProvider provider;
    };

    bool isMethod = false;
    std::string name;                            // last path component; empty for the root
    std::string fullPath = "/";                  // "/" for the root
    std::optional<std::string> typeTags;         // OSC type-tag letters
    std::optional<std::string> nodeDescription;  // human-readable description
    long access = 0;                             // 0 none, 1 read, 2 write, 3 read and write
    std::optional<nlohmann::json> range;         // the OSCQuery range array, when registered
    ValueProvider valueProvider;
    std::map<std::string, std::unique_ptr<OSCQueryNode>> children;

    // The JSON description of this node and its whole subtree. When `jobs` is given, one job per
    // node of the subtree that has a provider is appended; "VALUE" is left for the caller to fill.
    nlohmann::json jsonRepresentation(std::vector<ValueJob>* jobs) const;

    // The node at the address below this one, made along with the containers on the way when
    // missing. The address must be registrable.
    OSCQueryNode& makeDescendant(std::string_view address);

    // The node at a decoded path below this one, empty components skipped; null when there is
    // none. Names compare case-sensitively.
    const OSCQueryNode* find(std::string_view path) const;

    // Makes this node an address. It keeps the type and description it has, and takes the
    // access unless 0, the range unless empty and the provider unless none.
    void becomeAddress(std::string_view newTypeTags, std::string_view description, long newAccess,
                       const nlohmann::json& newRange, ValueProvider provider);

  private:
    nlohmann::json render(std::vector<ValueJob>* jobs,
                          const nlohmann::json::json_pointer& where) const;
};

// Whether an address can be added to the tree: it starts with "/", holds none of
// "*?[]{}#, " and names at least one node.
bool isRegistrableAddress(std::string_view address);

// The answer for an attribute of a node's rendered description: the whole description for no
// attribute or an empty one, 400 for a name that is not an OSCQuery attribute, 204 for one the
// node does not have.
OSCQueryResponse attributeResponse(nlohmann::json rendering,
                                   const std::optional<std::string>& attribute);

}  // namespace zarvo

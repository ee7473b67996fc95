#pragma once

// The recorder's status as the MCP server reads it: the application's OSCQuery tree boiled down
// to its values, and the status document the tools return.

#include <nlohmann/json.hpp>

#include <map>
#include <string>
#include <vector>

namespace zarvo::mcp {

// The number of source places the application has.
inline constexpr int kPlaces = 8;

// What one read of the address tree holds: the first "VALUE" element of every node that has
// one, by full path, and the titles of the sources that can be chosen.
struct RecorderTree {
    std::map<std::string, nlohmann::json> values;
    std::vector<std::string> titles;

    // The value at `path`, or null.
    nlohmann::json value(const std::string& path) const;
    // The string at `path`, or the empty string.
    std::string text(const std::string& path) const;

    static RecorderTree fromDocument(const nlohmann::json& root);
};

// The status document (recorder_status) of one read of the tree.
nlohmann::json statusDocument(const RecorderTree& tree);

// Whether the value is a string equal to `text`.
bool isStringEqual(const nlohmann::json& value, const std::string& text);

}  // namespace zarvo::mcp

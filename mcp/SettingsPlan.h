#pragma once

// The plan for applying settings: the OSC messages that carry each setting and source place
// given to the tools, each with the test that recognises it in the value read back. Every
// argument is checked here, before anything is sent.

#include <nlohmann/json.hpp>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "mcp/RecorderStatus.h"
#include "mcp/RecorderWire.h"
#include "platform/UserFolders.h"

namespace zarvo::mcp {

// One change to send, and how to recognise it in the value read back.
struct PlannedChange {
    std::string address;
    OscArgument argument;
    std::function<bool(const nlohmann::json&)> matches;
};

// Every setting given, checked for its type before anything is sent, in the order the changes
// are sent. The places are planned separately, once the titles have been checked. Throws
// RecorderError::badArguments for a setting of the wrong type.
std::vector<PlannedChange> plannedSettings(const nlohmann::json& arguments);

// The places given, in order: one change a title, then place n + 1 emptied when fewer than all
// the places are given. Sent once every place has been emptied.
std::vector<PlannedChange> plannedPlaces(const std::vector<std::string>& titles);

// Throws RecorderError::failed, naming what is offered, unless every title asked for is part of
// a title `available`.
void requireOffered(const std::vector<std::string>& titles,
                    const std::vector<std::string>& available);

// Whether every change shows in the tree read back.
bool allApplied(const std::vector<PlannedChange>& changes, const RecorderTree& tree);

// The changes that do not show in the tree, by address without its leading "/", with the value
// read back (or null). Empty when all took.
nlohmann::json notApplied(const std::vector<PlannedChange>& changes, const RecorderTree& tree);

// The titles asked for: "sources", else "source" as a list of one; none when neither is given.
// Throws RecorderError::badArguments for a list that is not of titles or is too long.
std::optional<std::vector<std::string>> requestedTitles(const nlohmann::json& arguments);

// Whether `text` holds `part`, letters compared without regard to case: ASCII, and the
// capitals of Latin-1 written as two UTF-8 bytes.
bool containsIgnoringCase(const std::string& text, const std::string& part);

// Paths given to the tools expand a leading "~" as the recorder does.
using ::zarvo::expandTilde;

}  // namespace zarvo::mcp

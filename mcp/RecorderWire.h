#pragma once

// The wire between the MCP server and the running application: OSC messages over UDP, and HTTP
// GETs of the OSCQuery server, all on 127.0.0.1.

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace zarvo::mcp {

// One OSC argument: sent as "i", "f" or "s".
using OscArgument = std::variant<int32_t, float, std::string>;

// The bytes of one OSC message carrying the arguments.
std::vector<uint8_t> encodeOscMessage(const std::string& address,
                                      const std::vector<OscArgument>& arguments);

// Sends one OSC message to 127.0.0.1:`port`; failures go unnoticed.
void sendOscMessage(int port, const std::string& address,
                    const std::vector<OscArgument>& arguments);

// One HTTP GET of `path` (query included) from 127.0.0.1:`port`, bounded by the time-out. The
// body parsed as JSON when the answer is 200 with such a body; nothing otherwise.
std::optional<nlohmann::json> httpGet(int port, const std::string& path, double timeoutSeconds);

}  // namespace zarvo::mcp

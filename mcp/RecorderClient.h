#pragma once

// The MCP server's client of the running application: it finds the application through its
// OSCQuery host information, reads the whole address tree over HTTP for every status, and makes
// changes by sending OSC messages over UDP, then reads the tree again until they show.

#include <nlohmann/json.hpp>

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "mcp/ProtocolLoop.h"
#include "mcp/RecorderStatus.h"
#include "mcp/RecorderWire.h"
#include "mcp/SettingsPlan.h"

namespace zarvo::mcp {

// Where the application is looked for: its announced name and the ports its OSCQuery server may
// be on.
struct RecorderSearch {
    std::string applicationName{kApplicationName};
    int preferredPort = kDefaultPreferredPort;
    int portsToTry = kPortsToTry;
};

// The time limits, in seconds. Tests shorten some; the defaults are the ones the tools use.
struct RecorderTimes {
    double poll = 0.05;            // between two reads while waiting for the application
    double hostInfoTimeout = 0.5;  // one port's host information
    double treeTimeout = 2.0;      // one read of the whole tree
    double configureLimit = 1.0;   // for changes to show after they were sent
    double startLimit = 3.0;       // for a recording to start
    double stopLimit = 30.0;       // for the movies to be finished
};

// The errors the tools throw; what() is the text the assistant sees.
class RecorderError : public std::runtime_error {
  public:
    enum class Kind { badArguments, failed, unreachable };

    static RecorderError badArguments(const std::string& text) {
        return RecorderError(Kind::badArguments, text);
    }
    static RecorderError failed(const std::string& text) {
        return RecorderError(Kind::failed, text);
    }
    static RecorderError unreachable(const RecorderSearch& search);

    Kind kind() const { return kind_; }

  private:
    RecorderError(Kind kind, const std::string& text) : std::runtime_error(text), kind_(kind) {}
    Kind kind_;
};

// The application found on one port, and the tools run against it.
class Recorder {
  public:
    Recorder(int queryPort, int oscPort, RecorderSearch search = {}, RecorderTimes times = {});

    // Tries every port of the search in turn; throws RecorderError::unreachable when no port
    // answers host information with the application's name and a usable OSC port.
    static Recorder find(const RecorderSearch& search, const RecorderTimes& times = {});

    int queryPort() const { return queryPort_; }
    int oscPort() const { return oscPort_; }

    // The whole tree; throws unreachable when it cannot be read.
    RecorderTree read() const;
    // The status document (recorder_status).
    nlohmann::json status() const;
    // "/status/state" and "/status/error", each empty when absent.
    std::pair<std::string, std::string> currentState() const;
    // One OSC message to the application; failures go unnoticed (the next read shows them).
    void send(const std::string& address, const std::vector<OscArgument>& arguments) const;
    // Applies the settings given and returns those not seen within the time limit, by address
    // without its leading "/", with the value read back (or null). Empty when all took.
    nlohmann::json configure(const nlohmann::json& arguments) const;

    nlohmann::json configureTool(const nlohmann::json& arguments) const;
    nlohmann::json start(const nlohmann::json& arguments) const;
    nlohmann::json stop() const;

    // Evaluates `test` at once and then every poll interval until it returns true (true) or
    // `seconds` have passed (false).
    bool wait(double seconds, const std::function<bool()>& test) const;

  private:
    // Empties every source place.
    void emptyPlaces() const;
    // Reads the tree until every change shows or the time limit for changes is up; the last
    // read.
    RecorderTree readUntilApplied(const std::vector<PlannedChange>& changes) const;

    int queryPort_;
    int oscPort_;
    RecorderSearch search_;
    RecorderTimes times_;
};

// The four tools against whatever application locate() found last.
class RecorderClientTools : public RecorderTools {
  public:
    explicit RecorderClientTools(RecorderSearch search, RecorderTimes times = {})
        : search_(std::move(search)), times_(times) {}

    void locate() override;
    nlohmann::json status() override;
    nlohmann::json configure(const nlohmann::json& arguments) override;
    nlohmann::json start(const nlohmann::json& arguments) override;
    nlohmann::json stop() override;

  private:
    const Recorder& recorder() const;

    RecorderSearch search_;
    RecorderTimes times_;
    std::optional<Recorder> recorder_;
};

}  // namespace zarvo::mcp

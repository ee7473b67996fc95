#pragma once

// What the PipeWire directory and sources share: the library's one-time start, and reading its
// property dictionaries. Private to sources/.

#include <pipewire/pipewire.h>

#include <cstdint>
#include <optional>
#include <string>

namespace zarvo::pipewire {

// Starts the library once per process; safe from any thread.
void Initialize();

// The string under key, or "" when the dictionary lacks it.
std::string DictString(const spa_dict* dict, const char* key);

// The unsigned number under key, or nothing when it is missing or no number.
std::optional<uint64_t> DictNumber(const spa_dict* dict, const char* key);

// Whether nodes of this media class publish video that can be recorded: sources such as cameras
// and capture cards ("Video/Source"), and the output streams of programs ("Stream/Output/Video",
// what a GStreamer pipeline's pipewiresink registers).
bool IsVideoSourceClass(const std::string& mediaClass);

// The library's calls that are macros over casts, as plain functions.
void AddCoreListener(pw_core* core, spa_hook* hook, const pw_core_events* events, void* data);
pw_registry* GetRegistry(pw_core* core);
// Asks for a round trip; answers its sequence number, given back to the core's done event.
int Sync(pw_core* core);
void AddRegistryListener(pw_registry* registry, spa_hook* hook, const pw_registry_events* events,
                         void* data);
pw_proxy* BindNode(pw_registry* registry, uint32_t id);
void AddNodeListener(pw_proxy* node, spa_hook* hook, const pw_node_events* events, void* data);
pw_proxy* CreateLink(pw_core* core, const spa_dict* props);

}  // namespace zarvo::pipewire

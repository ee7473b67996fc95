#pragma once

// What a release offers, read from a manifest of ours or from a release record of the
// repository service, and how versions compare.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "App/updater/UpdateErrors.h"

namespace zarvo {

struct ReleaseInfo {
    std::string version;  // normalized
    std::optional<int64_t> build;
    std::string downloadURL;  // the .zip archive holding the application
    std::string sha256;       // expected digest in hexadecimal; empty when not given
    std::string notesFR;
    std::string notesEN;
    std::optional<std::string> htmlURL;
    // The publisher's Ed25519 signature of the archive in base64: given by a manifest, or
    // fetched from `signatureURL` (a release record's asset named like the archive + ".sig").
    std::string ed25519;
    std::optional<std::string> signatureURL;

    // The notes in the interface language, trimmed; the other language's when they are empty
    // (French first).
    std::string localizedNotes() const;

    bool operator==(const ReleaseInfo&) const = default;
};
void to_json(nlohmann::json& json, const ReleaseInfo& release);
void from_json(const nlohmann::json& json, ReleaseInfo& release);

// Trimmed, without one leading "v" or "V".
std::string normalizeVersion(const std::string& version);
// The leading numbers of each dotted piece before any "-" (0 when a piece has none).
std::vector<int64_t> numericVersionComponents(const std::string& version);
// Newer by its numbers, or, at equal numbers, by a build number both sides have.
bool isNewerVersion(const std::string& candidate, std::optional<int64_t> candidateBuild,
                    const std::string& current, std::optional<int64_t> currentBuild);

// A manifest (the entry under `bundleIdentifier`, the legacy entry, or the whole object) or a
// release record of the repository service.
UpdateOutcome<ReleaseInfo> parseRelease(const std::string& data,
                                        const std::string& bundleIdentifier);

// Whether the text is an absolute URL with a scheme.
bool parsesAsURL(const std::string& text);

// An integer from a number or a decimal text; none otherwise.
std::optional<int64_t> integerValue(const nlohmann::json& value);

}  // namespace zarvo

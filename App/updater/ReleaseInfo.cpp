#include "App/updater/ReleaseInfo.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>

#include "App/language/AppLanguage.h"
#include "platform/Text.h"

namespace zarvo {
using json = nlohmann::json;

namespace {

// The manifest entry used when none is under the application's own identifier.
constexpr const char* kLegacyManifestEntry = "net.orvak.zarvo-recorder";

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// A string field: none when absent or null, the text when a string; `bad` when any other type.
std::optional<std::string> stringField(const json& object, const char* key, bool& bad) {
    auto found = object.find(key);
    if (found == object.end() || found->is_null()) {
        return std::nullopt;
    }
    if (!found->is_string()) {
        bad = true;
        return std::nullopt;
    }
    return found->get<std::string>();
}

}  // namespace

// Whether the text is an absolute URL with a scheme.
bool parsesAsURL(const std::string& text) {
    if (text.empty()) {
        return false;
    }
    CURLU* url = curl_url();
    if (!url) {
        return false;
    }
    const bool ok =
        curl_url_set(url, CURLUPART_URL, text.c_str(), CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK;
    curl_url_cleanup(url);
    return ok;
}

// An integer from a number or a decimal text; none otherwise.
std::optional<int64_t> integerValue(const json& value) {
    if (value.is_number_integer()) {
        return value.get<int64_t>();
    }
    if (value.is_number_float()) {
        const double number = value.get<double>();
        if (std::isfinite(number) && number == std::floor(number) && std::fabs(number) < 9e18) {
            return static_cast<int64_t>(number);
        }
        return std::nullopt;
    }
    if (value.is_string()) {
        const std::string text = trimmed(value.get<std::string>());
        int64_t result = 0;
        auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), result);
        if (error == std::errc() && end == text.data() + text.size() && !text.empty()) {
            return result;
        }
    }
    return std::nullopt;
}

std::string ReleaseInfo::localizedNotes() const {
    const std::string preferred = trimmed(language::isEnglish() ? notesEN : notesFR);
    if (!preferred.empty()) {
        return preferred;
    }
    const std::string french = trimmed(notesFR);
    return french.empty() ? trimmed(notesEN) : french;
}

void to_json(json& out, const ReleaseInfo& release) {
    out = json{{"version", release.version},
               {"downloadURL", release.downloadURL},
               {"sha256", release.sha256},
               {"notesFR", release.notesFR},
               {"notesEN", release.notesEN}};
    if (release.build) {
        out["build"] = *release.build;
    }
    if (release.htmlURL) {
        out["htmlURL"] = *release.htmlURL;
    }
    if (!release.ed25519.empty()) {
        out["ed25519"] = release.ed25519;
    }
    if (release.signatureURL) {
        out["signatureURL"] = *release.signatureURL;
    }
}

void from_json(const json& in, ReleaseInfo& release) {
    release.version = in.at("version").get<std::string>();
    release.downloadURL = in.at("downloadURL").get<std::string>();
    release.sha256 = in.value("sha256", "");
    release.notesFR = in.value("notesFR", "");
    release.notesEN = in.value("notesEN", "");
    release.build = in.contains("build") && in["build"].is_number_integer()
                        ? std::optional<int64_t>(in["build"].get<int64_t>())
                        : std::nullopt;
    release.htmlURL = in.contains("htmlURL") && in["htmlURL"].is_string()
                          ? std::optional<std::string>(in["htmlURL"].get<std::string>())
                          : std::nullopt;
    release.ed25519 = in.value("ed25519", "");
    release.signatureURL = in.contains("signatureURL") && in["signatureURL"].is_string()
                               ? std::optional<std::string>(in["signatureURL"].get<std::string>())
                               : std::nullopt;
}

std::string normalizeVersion(const std::string& version) {
    std::string result = trimmed(version);
    if (!result.empty() && (result[0] == 'v' || result[0] == 'V')) {
        result.erase(0, 1);
    }
    return result;
}

std::vector<int64_t> numericVersionComponents(const std::string& version) {
    std::string text = normalizeVersion(version);
    text = text.substr(0, text.find('-'));
    std::vector<int64_t> components;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t dot = std::min(text.find('.', start), text.size());
        const std::string piece = text.substr(start, dot - start);
        start = dot + 1;
        if (piece.empty()) {
            continue;
        }
        size_t digits = 0;
        while (digits < piece.size() && std::isdigit(static_cast<unsigned char>(piece[digits]))) {
            ++digits;
        }
        int64_t value = 0;
        if (digits == 0 ||
            std::from_chars(piece.data(), piece.data() + digits, value).ec != std::errc()) {
            value = 0;
        }
        components.push_back(value);
    }
    return components;
}

bool isNewerVersion(const std::string& candidate, std::optional<int64_t> candidateBuild,
                    const std::string& current, std::optional<int64_t> currentBuild) {
    const auto a = numericVersionComponents(candidate);
    const auto b = numericVersionComponents(current);
    for (size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
        const int64_t x = i < a.size() ? a[i] : 0;
        const int64_t y = i < b.size() ? b[i] : 0;
        if (x != y) {
            return x > y;
        }
    }
    return candidateBuild && currentBuild && *candidateBuild > *currentBuild;
}

UpdateOutcome<ReleaseInfo> parseRelease(const std::string& data,
                                        const std::string& bundleIdentifier) {
    const json document = json::parse(data, nullptr, false);
    if (document.is_discarded() || !document.is_object()) {
        return UpdaterError::invalidManifest();
    }
    bool bad = false;
    ReleaseInfo release;

    if (document.contains("tag_name") || document.contains("assets")) {
        const auto tag = stringField(document, "tag_name", bad);
        release.version = normalizeVersion(tag.value_or(""));
        if (bad || release.version.empty()) {
            return UpdaterError::invalidManifest();
        }
        const json empty = json::array();
        const json& assets = document.contains("assets") && !document["assets"].is_null()
                                 ? document["assets"]
                                 : empty;
        if (!assets.is_array()) {
            return UpdaterError::invalidManifest();
        }
        const json* chosen = nullptr;
        for (const char* key : {"name", "browser_download_url"}) {
            for (const json& asset : assets) {
                if (asset.is_object() && asset.contains(key) && asset[key].is_string() &&
                    endsWith(asciiLowercase(asset[key].get<std::string>()), ".zip")) {
                    chosen = &asset;
                    break;
                }
            }
            if (chosen) {
                break;
            }
        }
        bool assetBad = false;
        const auto url =
            chosen ? stringField(*chosen, "browser_download_url", assetBad) : std::nullopt;
        if (!url || !parsesAsURL(*url)) {
            return UpdaterError::noZipAsset();
        }
        release.downloadURL = *url;
        // The signature is the asset named like the archive with ".sig" added.
        if (const auto name = stringField(*chosen, "name", assetBad)) {
            for (const json& asset : assets) {
                if (asset.is_object() && asset.value("name", json()) == *name + ".sig") {
                    const auto address = stringField(asset, "browser_download_url", assetBad);
                    if (address && parsesAsURL(*address)) {
                        release.signatureURL = address;
                    }
                    break;
                }
            }
        }
        // The release service states each asset's digest as "sha256:<hex>".
        if (const auto digest = stringField(*chosen, "digest", assetBad)) {
            const std::string value = trimmed(*digest);
            if (asciiLowercase(value.substr(0, 7)) == "sha256:") {
                release.sha256 = trimmed(value.substr(7));
            }
        }
        const std::string notes = stringField(document, "body", bad).value_or("");
        release.notesFR = notes;
        release.notesEN = notes;
        if (auto page = stringField(document, "html_url", bad); page && parsesAsURL(*page)) {
            release.htmlURL = page;
        }
        if (bad) {
            return UpdaterError::invalidManifest();
        }
        return release;
    }

    const json* entry = &document;
    if (document.contains(bundleIdentifier) && document[bundleIdentifier].is_object()) {
        entry = &document[bundleIdentifier];
    } else if (document.contains(kLegacyManifestEntry) &&
               document[kLegacyManifestEntry].is_object()) {
        entry = &document[kLegacyManifestEntry];
    }
    release.version = normalizeVersion(stringField(*entry, "version", bad).value_or(""));
    auto url = stringField(*entry, "url", bad);
    if (!url) {
        url = stringField(*entry, "download_url", bad);
    }
    if (bad || release.version.empty() || !url || !parsesAsURL(*url)) {
        return UpdaterError::invalidManifest();
    }
    release.downloadURL = *url;
    if (entry->contains("build") && !(*entry)["build"].is_null()) {
        if (!(*entry)["build"].is_number_integer()) {
            return UpdaterError::invalidManifest();
        }
        release.build = (*entry)["build"].get<int64_t>();
    }
    release.sha256 = trimmed(stringField(*entry, "sha256", bad).value_or(""));
    release.ed25519 = trimmed(stringField(*entry, "ed25519", bad).value_or(""));
    const auto notes = stringField(*entry, "notes", bad);
    release.notesFR = stringField(*entry, "notes_fr", bad).value_or(notes.value_or(""));
    release.notesEN = stringField(*entry, "notes_en", bad).value_or(notes.value_or(""));
    if (auto page = stringField(*entry, "html_url", bad); page && parsesAsURL(*page)) {
        release.htmlURL = page;
    }
    if (bad) {
        return UpdaterError::invalidManifest();
    }
    return release;
}
}  // namespace zarvo

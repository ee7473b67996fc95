#pragma once

// The updater's failures: its own, each with a case of its own, and those of the system (the
// network, the disk) described in both languages; and the text shown for each.

#include <optional>
#include <string>
#include <variant>

namespace zarvo {

struct UpdaterError {
    enum class Case {
        httpStatus,
        checksumMismatch,
        extractionFailed,
        invalidCodeSignature,    // the new folder does not pass the checks of a release
        teamIdentifierMismatch,  // the new folder's bundle identifier differs
        installerLaunchFailed,
        invalidManifest,
        noZipAsset,
        appBundleNotFound,
        // Beyond these: what authenticates a release, and where the updater may not go.
        noPublicKey,        // the running copy carries no publisher key: it cannot install
        missingSignature,   // the release names no signature of its archive
        invalidSignature,   // the signature is not the publisher's over these bytes
        versionMismatch,    // the new folder's version or build is not the one announced
        notNewer,           // the release is not newer than the running copy
        releaseWithoutKey,  // the new folder carries no usable publisher key
        insecureAddress,    // neither https nor http on this computer
        packageInstalled,   // the system's package manager keeps this copy
    };
    // The domain of these errors; the code of one is its case's number.
    static constexpr const char* kDomain = "net.mervane.zarvorecorder.ZarvoUpdater";
    int errorCode() const { return static_cast<int>(kind); }

    Case kind = Case::invalidManifest;
    long code = 0;
    std::string expected;
    std::optional<std::string> actual;
    std::string detail;

    static UpdaterError httpStatus(long code);
    static UpdaterError checksumMismatch(std::string expected, std::string actual);
    static UpdaterError extractionFailed(std::string detail);
    static UpdaterError invalidCodeSignature(std::string detail);
    static UpdaterError teamIdentifierMismatch(std::string expected,
                                               std::optional<std::string> actual);
    static UpdaterError installerLaunchFailed(std::string detail);
    static UpdaterError missingSignature(std::string detail);
    static UpdaterError invalidSignature(std::string detail);
    static UpdaterError versionMismatch(std::string expected, std::string actual);
    static UpdaterError notNewer(std::string release, std::string running);
    static UpdaterError insecureAddress(std::string url);
    static UpdaterError noPublicKey() { return of(Case::noPublicKey); }
    static UpdaterError releaseWithoutKey() { return of(Case::releaseWithoutKey); }
    static UpdaterError packageInstalled() { return of(Case::packageInstalled); }
    static UpdaterError invalidManifest() { return of(Case::invalidManifest); }
    static UpdaterError noZipAsset() { return of(Case::noZipAsset); }
    static UpdaterError appBundleNotFound() { return of(Case::appBundleNotFound); }
    static UpdaterError of(Case kind) {
        UpdaterError error;
        error.kind = kind;
        return error;
    }

    bool operator==(const UpdaterError&) const = default;
};

// Any other failure (the network, the disk), described in both languages.
struct SystemFailure {
    std::string french;
    std::string english;
    bool operator==(const SystemFailure&) const = default;
};

using UpdateFailure = std::variant<UpdaterError, SystemFailure>;
template <class T>
using UpdateOutcome = std::variant<T, UpdateFailure>;

// A failure to read or write a file or folder.
SystemFailure diskFailure(const std::string& what, const std::string& detail);

// The failure's text in the interface language.
std::string describeUpdateFailure(const UpdateFailure& failure);

}  // namespace zarvo

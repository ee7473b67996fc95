#include "App/updater/UpdateErrors.h"

#include "App/language/AppLanguage.h"

namespace zarvo {

UpdaterError UpdaterError::httpStatus(long code) {
    UpdaterError error = of(Case::httpStatus);
    error.code = code;
    return error;
}
UpdaterError UpdaterError::checksumMismatch(std::string expected, std::string actual) {
    UpdaterError error = of(Case::checksumMismatch);
    error.expected = std::move(expected);
    error.actual = std::move(actual);
    return error;
}
UpdaterError UpdaterError::extractionFailed(std::string detail) {
    UpdaterError error = of(Case::extractionFailed);
    error.detail = std::move(detail);
    return error;
}
UpdaterError UpdaterError::invalidCodeSignature(std::string detail) {
    UpdaterError error = of(Case::invalidCodeSignature);
    error.detail = std::move(detail);
    return error;
}
UpdaterError UpdaterError::teamIdentifierMismatch(std::string expected,
                                                  std::optional<std::string> actual) {
    UpdaterError error = of(Case::teamIdentifierMismatch);
    error.expected = std::move(expected);
    error.actual = std::move(actual);
    return error;
}
UpdaterError UpdaterError::installerLaunchFailed(std::string detail) {
    UpdaterError error = of(Case::installerLaunchFailed);
    error.detail = std::move(detail);
    return error;
}
UpdaterError UpdaterError::missingSignature(std::string detail) {
    UpdaterError error = of(Case::missingSignature);
    error.detail = std::move(detail);
    return error;
}
UpdaterError UpdaterError::invalidSignature(std::string detail) {
    UpdaterError error = of(Case::invalidSignature);
    error.detail = std::move(detail);
    return error;
}
UpdaterError UpdaterError::versionMismatch(std::string expected, std::string actual) {
    UpdaterError error = of(Case::versionMismatch);
    error.expected = std::move(expected);
    error.actual = std::move(actual);
    return error;
}
UpdaterError UpdaterError::notNewer(std::string release, std::string running) {
    UpdaterError error = of(Case::notNewer);
    error.actual = std::move(release);
    error.expected = std::move(running);
    return error;
}
UpdaterError UpdaterError::insecureAddress(std::string url) {
    UpdaterError error = of(Case::insecureAddress);
    error.detail = std::move(url);
    return error;
}

SystemFailure diskFailure(const std::string& what, const std::string& detail) {
    return {"Erreur disque (" + what + ") : " + detail, "Disk error (" + what + "): " + detail};
}

std::string describeUpdateFailure(const UpdateFailure& failure) {
    if (const auto* other = std::get_if<SystemFailure>(&failure)) {
        return language::text(other->french, other->english);
    }
    const auto& error = std::get<UpdaterError>(failure);
    using Case = UpdaterError::Case;
    switch (error.kind) {
        case Case::httpStatus: {
            const std::string code = std::to_string(error.code);
            return language::text("Serveur de mise à jour indisponible (HTTP " + code + ").",
                                  "Update server returned HTTP " + code + ".");
        }
        case Case::invalidManifest:
            return language::text("Format de manifeste de mise à jour invalide.",
                                  "Invalid update manifest format.");
        case Case::noZipAsset:
            return language::text("aucune archive .zip trouvée dans la publication.",
                                  "No .zip archive found in release.");
        case Case::checksumMismatch:
            if (error.expected.empty()) {
                // Without a code signature the digest is the only proof of origin.
                return language::text(
                    "La publication ne donne aucune somme de contrôle SHA-256 : la mise à jour "
                    "ne peut pas être vérifiée.",
                    "The release gives no SHA-256 checksum, so the update cannot be verified.");
            }
            return language::text("La somme de contrôle SHA-256 ne correspond pas.",
                                  "SHA-256 checksum verification failed.");
        case Case::extractionFailed:
            return language::text("Échec de la décompression : " + error.detail,
                                  "Archive extraction failed: " + error.detail);
        case Case::appBundleNotFound:
            return language::text("Aucune application (.app) trouvée dans l’archive.",
                                  "No application (.app) found in the archive.");
        case Case::invalidCodeSignature:
            return language::text(
                "La mise à jour téléchargée n’est pas une application valide : " + error.detail,
                "The downloaded update is not a valid application: " + error.detail);
        case Case::teamIdentifierMismatch:
            return language::text(
                "La mise à jour est destinée à une autre application "
                "(attendu : " +
                    error.expected + ", reçu : " + error.actual.value_or("aucun") + ").",
                "The update is for another application (expected " + error.expected + ", got " +
                    error.actual.value_or("none") + ").");
        case Case::installerLaunchFailed:
            return language::text("Impossible de lancer l’installateur : " + error.detail,
                                  "Failed to launch installer: " + error.detail);
        case Case::noPublicKey:
            return language::text(
                "Cette copie de ZarvoRecorder ne porte pas la clé de l’éditeur\u00a0: elle ne peut "
                "pas "
                "installer de mise à jour. Téléchargez la nouvelle version depuis la page de "
                "publication.",
                "This copy of ZarvoRecorder does not carry the publisher's key, so it cannot "
                "install updates. Download the new version from the release page.");
        case Case::missingSignature:
            return language::text(
                "La publication ne porte pas de signature Ed25519 de son archive (" + error.detail +
                    ")\u00a0: la mise à jour ne peut pas être vérifiée.",
                "The release carries no Ed25519 signature of its archive (" + error.detail +
                    "), so the update cannot be verified.");
        case Case::invalidSignature:
            return language::text("La signature de la mise à jour n’est pas celle de l’éditeur (" +
                                      error.detail + ")\u00a0: rien n’a été installé.",
                                  "The update's signature is not the publisher's (" + error.detail +
                                      "); nothing was installed.");
        case Case::versionMismatch:
            return language::text(
                "L’application téléchargée porte la version " + error.actual.value_or("") +
                    " au lieu de la version " + error.expected + " annoncée.",
                "The downloaded application is version " + error.actual.value_or("") +
                    ", not the announced " + error.expected + ".");
        case Case::notNewer:
            return language::text("La publication " + error.actual.value_or("") +
                                      " n’est pas plus récente que la copie installée (" +
                                      error.expected + ")\u00a0: pas de retour en arrière.",
                                  "The release " + error.actual.value_or("") +
                                      " is not newer than the installed copy (" + error.expected +
                                      "); an update never goes back.");
        case Case::releaseWithoutKey:
            return language::text(
                "L’application téléchargée ne porte pas de clé d’éditeur valable\u00a0: elle ne "
                "pourrait plus jamais être mise à jour.",
                "The downloaded application carries no valid publisher key, so it could never be "
                "updated again.");
        case Case::insecureAddress:
            return language::text(
                "Adresse refusée\u00a0: les mises à jour ne passent que par https (" +
                    error.detail + ").",
                "Address refused: updates travel over https only (" + error.detail + ").");
        case Case::packageInstalled:
            return language::text(
                "Cette copie a été installée par le gestionnaire de paquets du système\u00a0: "
                "mettez ZarvoRecorder à jour avec lui (par exemple «\u00a0sudo apt update && "
                "sudo apt upgrade\u00a0»).",
                "This copy was installed by the system's package manager: update ZarvoRecorder "
                "with it (for example “sudo apt update && sudo apt upgrade”).");
    }
    return {};
}

}  // namespace zarvo

#include "App/language/ToolkitTranslations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

#include "App/language/AppLanguage.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"

namespace zarvo {

struct ToolkitTranslations::Impl {
    QTranslator translator;
    bool installed = false;
    ScopedObserver observer;
};

ToolkitTranslations::ToolkitTranslations(QCoreApplication& application)
    : impl_(std::make_unique<Impl>()) {
    // The translators belong to the one application object; it only has to exist.
    (void)application;
    apply();
    impl_->observer =
        ScopedObserver(NotificationCenter::defaultCenter(), language::kDidChangeNotification,
                       nullptr, [this](const NotificationCenter::Notification&) { apply(); });
}

ToolkitTranslations::~ToolkitTranslations() {
    impl_->observer.reset();
    if (impl_->installed) {
        QCoreApplication::removeTranslator(&impl_->translator);
    }
}

bool ToolkitTranslations::isTranslated() const {
    return impl_->installed;
}

void ToolkitTranslations::apply() {
    const bool french = !language::isEnglish();
    if (french == impl_->installed) {
        return;
    }
    if (!french) {
        QCoreApplication::removeTranslator(&impl_->translator);
        impl_->installed = false;
        return;
    }
    // The toolkit's own texts are written in English: only French needs a translation.
    const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    if (!impl_->translator.load(QStringLiteral("qtbase_fr"), folder)) {
        logLine("The toolkit's French texts are not installed (qtbase_fr.qm in " +
                folder.toStdString() + ")");
        return;
    }
    impl_->installed = QCoreApplication::installTranslator(&impl_->translator);
}

}  // namespace zarvo

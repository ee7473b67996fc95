#pragma once

#include <memory>

class QCoreApplication;

namespace zarvo {

// Keeps the toolkit's own texts (the buttons of its dialogs, the folder chooser) in the
// interface language: installs the toolkit's French translation while the interface is French,
// and follows each language change. Made once on the main thread after the application object.
class ToolkitTranslations {
  public:
    explicit ToolkitTranslations(QCoreApplication& application);
    ~ToolkitTranslations();
    ToolkitTranslations(const ToolkitTranslations&) = delete;
    ToolkitTranslations& operator=(const ToolkitTranslations&) = delete;

    // True when a translation is installed now.
    bool isTranslated() const;

  private:
    void apply();

    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace zarvo

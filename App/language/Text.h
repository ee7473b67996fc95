#pragma once

#include <QString>

#include "App/language/AppLanguage.h"

namespace zarvo {

// An interface text in the language shown now, from its French and English forms (UTF-8).
inline QString tx(const char* french, const char* english) {
    return QString::fromUtf8(language::isEnglish() ? english : french);
}

}  // namespace zarvo

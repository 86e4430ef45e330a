#pragma once

#include <functional>
#include <optional>
#include <string>

namespace zimlo::i18n {

// The languages the interface is written in: Chinese, its source language, and English.
enum class Language { chinese, english };

// Reads one environment variable (nullopt when it is not set).
using Environment = std::function<std::optional<std::string>(const char* name)>;
Environment processEnvironment();

// The interface language for an environment: ZIMLO_LANGUAGE=zh|en when set to one of them,
// otherwise the locale that names message languages (LANGUAGE's first Chinese or English entry,
// then LC_ALL, LC_MESSAGES, LANG): Chinese for zh*, English for anything else (C and POSIX
// included).
Language chooseLanguage(const Environment& environment);

// Makes `language` the language of every text from here on: zimlo::translate() and, once a
// QCoreApplication exists, Qt's tr()/translate(). Call it on the main thread before other threads
// translate. False (and logged) when the catalogue cannot be loaded; the texts then stay Chinese.
bool installLanguage(Language language);
Language installedLanguage();

}  // namespace zimlo::i18n

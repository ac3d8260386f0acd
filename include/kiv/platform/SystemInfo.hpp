#pragma once
/// The user's preferred languages and the operating system's name and version. The two readers
/// are the system's (platform/linux/SystemInfo.cpp); the text work is portable.

#include <string>
#include <vector>

#include "kiv/export.hpp"

namespace kiv::platform {

/// Thread: any thread (reads the environment and uname).
struct KIV_EXPORT SystemInfo {
    /// Language tags in order of preference from LANGUAGE (a ":" list), else the first set of
    /// LC_ALL, LC_MESSAGES, LANG; "en_US.UTF-8" gives "en-US"; C and POSIX give none.
    static std::vector<std::string> preferredLanguages();
    /// The same from explicit values (for tests and hosts with their own settings).
    static std::vector<std::string> preferredLanguages(const char* language, const char* lcAll, const char* lcMessages,
                                                       const char* lang);
    /// Locale name to language tag: "de_DE.UTF-8@euro" gives "de-DE"; empty for C and POSIX.
    static std::string languageTag(const std::string& locale);
    /// "Linux 6.1.0": system name, a blank, major.minor.patch of the release.
    static std::string operatingSystemNameVersion();
    /// Major.minor.patch of a release text like "6.1.0-18-amd64" (missing parts are 0).
    static std::string versionTriple(const std::string& release);
};

}  // namespace kiv::platform

// How locale names and kernel releases read as language tags and versions: plain text work.
#include "kiv/platform/SystemInfo.hpp"

namespace kiv::platform {

std::string SystemInfo::languageTag(const std::string& locale) {
    std::string tag = locale.substr(0, locale.find_first_of(".@"));
    if (tag.empty() || tag == "C" || tag == "POSIX") return {};
    for (char& c : tag) {
        if (c == '_') c = '-';
    }
    return tag;
}

std::vector<std::string> SystemInfo::preferredLanguages(const char* language, const char* lcAll, const char* lcMessages,
                                                        const char* lang) {
    std::vector<std::string> out;
    auto add = [&](const std::string& locale) {
        const auto tag = languageTag(locale);
        if (!tag.empty()) out.push_back(tag);
    };
    if (language && *language) {
        std::string list(language);
        std::size_t start = 0;
        while (start <= list.size()) {
            const auto end = list.find(':', start);
            add(list.substr(start, end == std::string::npos ? std::string::npos : end - start));
            if (end == std::string::npos) break;
            start = end + 1;
        }
        if (!out.empty()) return out;
    }
    for (const char* v : {lcAll, lcMessages, lang}) {
        if (v && *v) {
            add(v);
            break;
        }
    }
    return out;
}

std::string SystemInfo::versionTriple(const std::string& release) {
    int parts[3] = {0, 0, 0};
    std::size_t i = 0;
    for (int p = 0; p < 3; ++p) {
        if (i >= release.size() || release[i] < '0' || release[i] > '9') break;
        long value = 0;
        while (i < release.size() && release[i] >= '0' && release[i] <= '9' && value < 1'000'000) value = value * 10 + (release[i++] - '0');
        parts[p] = static_cast<int>(value);
        if (i < release.size() && release[i] == '.') {
            ++i;
        } else {
            break;
        }
    }
    return std::to_string(parts[0]) + "." + std::to_string(parts[1]) + "." + std::to_string(parts[2]);
}

}  // namespace kiv::platform

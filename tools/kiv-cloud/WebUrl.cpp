#include "WebUrl.hpp"

namespace kiv::cloud {

bool isWebUrl(std::string_view url) {
    if (url.size() > maxUrlBytes) return false;
    std::string_view rest;
    for (const std::string_view scheme : {"http://", "https://"}) {
        if (url.size() < scheme.size()) continue;
        bool same = true;
        for (std::size_t i = 0; i < scheme.size(); ++i)
            same = same && (url[i] | 0x20) == scheme[i];  // the scheme in any case
        if (same) rest = url.substr(scheme.size());
    }
    if (rest.empty() || rest.front() == '/' || rest.front() == '?' || rest.front() == '#') return false;
    for (const char c : url)
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F) return false;
    return true;
}

}  // namespace kiv::cloud

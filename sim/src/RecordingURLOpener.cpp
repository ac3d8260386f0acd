#include "kiv/sim/RecordingURLOpener.hpp"

#include "kiv/platform/network/URL.hpp"

namespace kiv::platform {

bool RecordingURLOpener::canOpenURL(std::string_view url) const {
    const auto parsed = URL::make(url);
    return parsed && schemes_.count(parsed->scheme()) > 0;
}

bool RecordingURLOpener::open(std::string_view url) {
    const bool accepted = canOpenURL(url);
    std::lock_guard guard(lock_);
    (accepted ? opened_ : refused_).emplace_back(url);
    return accepted;
}

std::vector<std::string> RecordingURLOpener::opened() const {
    std::lock_guard guard(lock_);
    return opened_;
}

std::vector<std::string> RecordingURLOpener::refused() const {
    std::lock_guard guard(lock_);
    return refused_;
}

}  // namespace kiv::platform

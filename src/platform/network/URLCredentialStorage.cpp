#include "kiv/platform/network/URLCredentialStorage.hpp"

namespace kiv::platform {

void URLCredentialStorage::set(URLCredential credential, ProtectionSpace space) {
    std::lock_guard guard(mutex_);
    for (auto& [s, c] : entries_) {
        if (s == space && c.user == credential.user) {
            c = std::move(credential);
            return;
        }
    }
    entries_.emplace_back(std::move(space), std::move(credential));
}

std::vector<URLCredential> URLCredentialStorage::credentials(const ProtectionSpace& space) const {
    std::lock_guard guard(mutex_);
    std::vector<URLCredential> out;
    for (const auto& [s, c] : entries_) {
        if (s == space) out.push_back(c);
    }
    return out;
}

}  // namespace kiv::platform

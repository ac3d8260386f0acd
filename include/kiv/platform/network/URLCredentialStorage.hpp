#pragma once
/// User names and passwords per protection space.

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kiv/export.hpp"

namespace kiv::platform {

struct KIV_EXPORT URLCredential {
    std::string user;
    std::string password;
};

/// Where a credential applies (HTTP Basic for `host`).
struct KIV_EXPORT ProtectionSpace {
    std::string host;
    int port = 0;
    std::string protocol;
    std::string realm;
    bool operator==(const ProtectionSpace&) const = default;
};

/// Thread: every member is safe from any thread.
class KIV_EXPORT URLCredentialStorage {
public:
    void set(URLCredential credential, ProtectionSpace space);
    std::vector<URLCredential> credentials(const ProtectionSpace& space) const;

private:
    mutable std::mutex mutex_;
    std::vector<std::pair<ProtectionSpace, URLCredential>> entries_;
};

}  // namespace kiv::platform

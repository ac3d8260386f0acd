#pragma once
// Builds beacon facades on a cloud client of the caller's choice (tests substitute a recording one).

#include <memory>

#include "api/CloudClient.hpp"
#include "kiv/KIVClient.hpp"
#include "kiv/platform/Platform.hpp"

namespace kiv::client {

struct ClientAccess {
    /// The facade's state on `platform`, attached to its scanner and location service.
    static std::shared_ptr<KIVClient::Impl> makeImpl(const platform::Platform& platform,
                                                     std::shared_ptr<api::CloudClient> cloud);
    /// A facade on `platform` that talks to `cloud`.
    static std::unique_ptr<KIVClient> make(const platform::Platform& platform, std::shared_ptr<api::CloudClient> cloud);
};

}  // namespace kiv::client

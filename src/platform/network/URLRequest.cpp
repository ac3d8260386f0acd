#include "kiv/platform/network/URLRequest.hpp"

namespace kiv::platform {

std::string URLRequest::description() const { return url ? url->absoluteString() : "nil"; }

}  // namespace kiv::platform

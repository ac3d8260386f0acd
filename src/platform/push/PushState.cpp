#include "kiv/platform/push/PushService.hpp"

namespace kiv::platform {

const char* toString(PushState state) noexcept {
    switch (state) {
        case PushState::connecting: return "connecting";
        case PushState::connected: return "connected";
        case PushState::disconnected: return "disconnected";
        case PushState::failed: return "failed";
    }
    return "disconnected";
}

}  // namespace kiv::platform

#include "kiv/platform/network/SessionConfiguration.hpp"

namespace kiv::platform {

SessionConfiguration SessionConfiguration::defaultConfiguration() {
    SessionConfiguration c;
    c.urlCredentialStorage = std::make_shared<URLCredentialStorage>();
    c.httpCookieStorage = std::make_shared<HTTPCookieStorage>();
    return c;
}

}  // namespace kiv::platform

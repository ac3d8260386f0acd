#pragma once
/// The application's way of opening a URL (a browser, a desktop handler).

#include <memory>
#include <string>
#include <string_view>

#include "kiv/export.hpp"

namespace kiv::platform {

/// Opens URLs on behalf of the library. The request is handed off; its outcome is not reported.
/// Thread: any thread.
class KIV_EXPORT URLOpener {
public:
    virtual ~URLOpener() = default;
    /// True when open() would hand this URL on (the opener's scheme policy).
    virtual bool canOpenURL(std::string_view url) const = 0;
    /// Asks for the URL to be opened; returns false when it was refused, without opening anything.
    virtual bool open(std::string_view url) = 0;
};

using URLOpenerPtr = std::shared_ptr<URLOpener>;

}  // namespace kiv::platform

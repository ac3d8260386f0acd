#pragma once
/// What a beacon client reports about its own work: the token exchange, the region list, each
/// upload and the radio, so that a host can tell whether the library is working.

#include <cstddef>
#include <functional>
#include <string>

#include "kiv/export.hpp"
#include "kiv/platform/bluetooth/CentralManager.hpp"

namespace kiv {

/// One event. Fields that do not apply to an event keep their defaults.
struct KIV_EXPORT ClientStatus {
    enum class Event {
        tokenObtained,    ///< the service gave an access token (httpStatus)
        tokenRefused,     ///< no token from this request: httpStatus, or 0 and `error` for no answer
        regionsReceived,  ///< a region list was accepted (count regions)
        uploadStarted,    ///< an upload of `count` sightings of `kind` left
        uploadDelivered,  ///< the service answered it with a 2xx status (httpStatus)
        uploadFailed,     ///< another status (httpStatus), or no answer at all (httpStatus 0, error)
        radioState,       ///< the Bluetooth radio changed state (radio, and reason when known)
    };

    Event event = Event::tokenObtained;
    /// Uploads: "iBeacon" or "gBeacon".
    std::string kind;
    /// Regions received, or sightings in the upload.
    std::size_t count = 0;
    /// The service's HTTP status; 0 when no answer came.
    int httpStatus = 0;
    /// Why, when no answer came or the answer was unusable.
    std::string error;
    platform::ManagerState radio = platform::ManagerState::unknown;
    /// Radio: why it is in that state, when the platform says ("no system D-Bus (...)"); else empty.
    std::string reason;

    /// The event's name ("uploadDelivered").
    static const char* eventName(Event event);
    /// One readable line: "upload failed: gBeacon, 3 sightings, HTTP 503", "radio unsupported: no
    /// system D-Bus (...)".
    std::string description() const;
};

/// Receives a client's events on its main queue. Thread: the client's main queue.
using ClientStatusObserver = std::function<void(const ClientStatus& status)>;

}  // namespace kiv

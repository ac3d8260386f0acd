#include "kiv/ClientStatus.hpp"

namespace kiv {

const char* ClientStatus::eventName(Event event) {
    switch (event) {
        case Event::tokenObtained: return "tokenObtained";
        case Event::tokenRefused: return "tokenRefused";
        case Event::regionsReceived: return "regionsReceived";
        case Event::uploadStarted: return "uploadStarted";
        case Event::uploadDelivered: return "uploadDelivered";
        case Event::uploadFailed: return "uploadFailed";
        case Event::radioState: return "radioState";
    }
    return "unknown";
}

std::string ClientStatus::description() const {
    const auto answer = [this] {
        return httpStatus ? "HTTP " + std::to_string(httpStatus) : "no answer" + (error.empty() ? "" : " (" + error + ")");
    };
    const auto upload = [this] { return kind + ", " + std::to_string(count) + " sightings"; };
    switch (event) {
        case Event::tokenObtained: return "access token obtained";
        case Event::tokenRefused:
            return "access token refused: " + answer() + (httpStatus && !error.empty() ? ": " + error : "");
        case Event::regionsReceived: return std::to_string(count) + " regions received";
        case Event::uploadStarted: return "upload started: " + upload();
        case Event::uploadDelivered: return "upload delivered: " + upload() + ", " + answer();
        case Event::uploadFailed: return "upload failed: " + upload() + ", " + answer();
        case Event::radioState:
            return std::string("radio ") + platform::managerStateName(radio) + (reason.empty() ? "" : ": " + reason);
    }
    return eventName(event);
}

}  // namespace kiv

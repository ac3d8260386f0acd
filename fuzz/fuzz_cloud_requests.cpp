// kiv-cloud's readers of what clients send: the sighting upload (JSON), the push request, the
// token form body, the Basic credentials of a listing, a Content-Length, the escaping and redaction
// of a logged target, and the lines of a client file.
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "FormBody.hpp"
#include "PushRequest.hpp"
#include "RequestText.hpp"
#include "SecretFile.hpp"
#include "UploadReader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto check = kiv::cloud::UploadReader::read(text);
    if (check.ok()) {
        // A sound upload stays within its bounds and holds only entries of the two kinds, each
        // fully filled in.
        if (check.body.deviceId.size() > kiv::cloud::maxDeviceIdBytes ||
            check.body.beacons.size() > kiv::cloud::maxBeaconsPerUpload)
            __builtin_trap();
        for (const auto& beacon : check.body.beacons) {
            if (beacon.kind == kiv::cloud::SightingKind::iBeacon ? beacon.uuid.size() != 36
                                                                 : beacon.eid.empty() || beacon.eid.size() > kiv::cloud::maxEidBytes)
                __builtin_trap();
        }
    }
    // A sound push request names one target and carries a payload a device takes.
    const auto push = kiv::cloud::readPushRequest(text);
    if (push.status == 0 && (push.request.deviceId.has_value() == push.request.beacon.has_value() ||
                             push.request.payload.size() > kiv::cloud::maxPushPayloadBytes ||
                             !nlohmann::json::accept(push.request.payload)))
        __builtin_trap();
    (void)kiv::cloud::parseFormBody(text);
    (void)kiv::cloud::parseBasicAuthorization(text);
    if (const auto length = kiv::cloud::parseContentLength(text); length && text.size() > 19) __builtin_trap();
    for (const char c : kiv::cloud::escapeControlBytes(text)) {
        // The escaped text is one log line: no control byte is left in it.
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) __builtin_trap();
    }
    // Redaction is settled after one pass; a client file's clients are whole.
    const auto redacted = kiv::cloud::redactTarget(text);
    if (kiv::cloud::redactTarget(redacted) != redacted) __builtin_trap();
    std::string error;
    if (const auto clients = kiv::cloud::parseClientLines(text, error)) {
        for (const auto& client : *clients)
            if (client.clientId.empty() || client.secret.empty() || client.clientId.find(':') != std::string::npos)
                __builtin_trap();
    }
    return 0;
}

// Arbitrary MQTT push messages through the device's checks, and the same bytes as a broker
// setting. An accepted message is a UTF-8 JSON object of at most 4096 bytes that prints and
// reads back the same; an accepted broker has a host and a port in range.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/push/PushPayload.hpp"
#include "platform/push/linux/BrokerAddress.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using kiv::platform::PushPayload;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    std::string why;
    if (const auto payload = PushPayload::parse(bytes, &why)) {
        if (size > PushPayload::maxBytes || !PushPayload::validUtf8(bytes) || !payload->is_object()) std::abort();
        if (nlohmann::json::parse(payload->dump()) != *payload) std::abort();
    } else if (why.empty() || why.find('\n') != std::string::npos) {
        std::abort();  // the reason goes on one log line
    }
    if (const auto broker = kiv::platform::BrokerAddress::parse(bytes, &why)) {
        if (broker->host.empty() || broker->port < 1 || broker->port > 65535) std::abort();
    }
    return 0;
}

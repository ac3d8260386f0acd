#include "api/CloudTransport.hpp"

namespace kiv::api {

// Placeholder until the HTTP layer lands: every request fails without a response.
void CloudTransport::send(Method, const std::string&, nlohmann::json, Encoding,
                          std::function<void(const Outcome&)> handler) {
    if (handler) handler(Outcome{std::nullopt, "no transport", false});
}

std::string CloudTransport::deviceID() { return "Default"; }

}  // namespace kiv::api

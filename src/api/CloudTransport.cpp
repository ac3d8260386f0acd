#include "api/CloudTransport.hpp"

#include "kiv/http/JSONEncoding.hpp"
#include "kiv/http/SessionManager.hpp"
#include "kiv/http/URLEncoding.hpp"

namespace kiv::api {

CloudTransport::CloudTransport(std::shared_ptr<http::SessionManager> manager, std::shared_ptr<platform::DeviceIdentity> identity)
    : manager_(std::move(manager)), identity_(std::move(identity)) {}

void CloudTransport::send(Method method, const std::string& url, nlohmann::json parameters, Encoding encoding,
                          platform::QueuePtr queue, std::function<void(const Outcome&)> handler) const {
    const http::ParameterEncoding& encoder = encoding == Encoding::json
                                                 ? static_cast<const http::ParameterEncoding&>(
                                                       http::JSONEncoding::prettyPrintedEncoding())
                                                 : http::URLEncoding::defaultEncoding();
    auto request = manager_->request(
        url, method == Method::get ? http::HTTPMethod::get : http::HTTPMethod::post, &parameters, encoder, nullptr);
    // No validation: the status is never examined, only the body and whether anything arrived.
    request->responseJSON([handler = std::move(handler)](const http::DataResponse<nlohmann::json>& response) {
        Outcome outcome;
        outcome.gotResponse = response.response.has_value();
        if (response.response) outcome.status = response.response->statusCode;
        if (const auto* value = response.value()) {
            outcome.value = *value;
        } else if (const auto* error = response.error()) {
            outcome.errorText = error->localizedDescription();
        }
        if (handler) handler(outcome);
    }, std::move(queue));
}

std::string CloudTransport::deviceID() const { return identity_->deviceID(); }

}  // namespace kiv::api

#include "kiv/http/DataResponse.hpp"

#include <nlohmann/json.hpp>

namespace kiv::http {

std::string textForm(const nlohmann::json& value) { return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace); }

std::string responseDebugDescription(const std::optional<platform::URLRequest>& request,
                                     const std::optional<platform::HTTPURLResponse>& response, const std::optional<std::string>& data,
                                     const std::string& resultDebugDescription, const Timeline& timeline) {
    std::string out = "[Request]: ";
    out += request ? request->method() + " " + request->description() : std::string("nil");
    out += "\n[Response]: ";
    out += response ? response->description() : std::string("nil");
    out += "\n[Data]: " + std::to_string(data ? data->size() : 0) + " bytes";
    out += "\n[Result]: " + resultDebugDescription;
    out += "\n[Timeline]: " + timeline.debugDescription();
    return out;
}

}  // namespace kiv::http

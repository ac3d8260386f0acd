#include "kiv/http/URLConvertible.hpp"

#include "kiv/http/URLRequestConvertible.hpp"

namespace kiv::http {

Result<platform::URL> URLConvertible::asURL() const {
    using URLResult = Result<platform::URL>;
    if (const auto* text = std::get_if<std::string>(&value_)) {
        if (auto url = platform::URL::make(*text)) return URLResult::success(std::move(*url));
        return URLResult::failure(HTTPError::invalidURL(*text));
    }
    if (const auto* url = std::get_if<platform::URL>(&value_)) return URLResult::success(*url);
    const auto& components = std::get<platform::URLComponents>(value_);
    if (auto url = components.url()) return URLResult::success(std::move(*url));
    return URLResult::failure(HTTPError::invalidURL(components.text()));
}

Result<platform::URLRequest> URLRequestConvertible::asURLRequest() const {
    if (const auto* request = std::get_if<platform::URLRequest>(&value_)) return Result<platform::URLRequest>::success(*request);
    const auto& builder = std::get<Builder>(value_);
    if (!builder) return Result<platform::URLRequest>::failure(Error::custom("no request builder"));
    try {
        return builder();
    } catch (const std::exception& e) {
        return Result<platform::URLRequest>::failure(Error::custom(e.what()));
    } catch (...) {
        return Result<platform::URLRequest>::failure(Error::custom("the request builder failed"));
    }
}

Result<platform::URLRequest> makeURLRequest(const URLConvertible& url, HTTPMethod method, const HTTPHeaders* headers) {
    auto converted = url.asURL();
    if (const auto* e = converted.error()) return Result<platform::URLRequest>::failure(*e);
    platform::URLRequest request(*converted.value());
    request.httpMethod = std::string(rawValue(method));
    if (headers) {
        for (const auto& [name, value] : *headers) request.setValue(value, name);
    }
    return Result<platform::URLRequest>::success(std::move(request));
}

}  // namespace kiv::http

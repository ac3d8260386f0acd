#include "kiv/http/URLEncoding.hpp"

#include "support/Immortal.hpp"
#include <nlohmann/json.hpp>

#include "kiv/support/Hex.hpp"

namespace kiv::http {

namespace {

bool allowed(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' ||
           c == '~' || c == '/' || c == '?';
}

std::string textOf(const Parameters& value) {
    if (value.is_string()) return value.get_ref<const std::string&>();
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void appendComponents(const std::string& key, const Parameters& value, std::vector<std::pair<std::string, std::string>>& out) {
    if (value.is_object()) {
        for (const auto& [nestedKey, nestedValue] : value.items()) appendComponents(key + "[" + nestedKey + "]", nestedValue, out);
    } else if (value.is_array()) {
        for (const auto& element : value) appendComponents(key + "[]", element, out);
    } else if (value.is_boolean()) {
        out.emplace_back(URLEncoding::escape(key), URLEncoding::escape(value.get<bool>() ? "1" : "0"));
    } else {
        out.emplace_back(URLEncoding::escape(key), URLEncoding::escape(textOf(value)));
    }
}

bool isQueryMethod(const std::optional<HTTPMethod>& m) {
    return m && (*m == HTTPMethod::get || *m == HTTPMethod::head || *m == HTTPMethod::delete_);
}

}  // namespace

const URLEncoding& URLEncoding::defaultEncoding() {
    static Immortal<const URLEncoding> encoding;  // used by requests until the threads stop at exit
    return encoding.get();
}

std::string URLEncoding::escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (allowed(c)) {
            out += ch;
        } else {
            out += '%';
            out += hexDigit(c >> 4, HexCase::upper);
            out += hexDigit(c, HexCase::upper);
        }
    }
    return out;
}

std::vector<std::pair<std::string, std::string>> URLEncoding::queryComponents(const std::string& key, const Parameters& value) {
    std::vector<std::pair<std::string, std::string>> out;
    appendComponents(key, value, out);
    return out;
}

std::string URLEncoding::query(const Parameters& parameters) {
    std::string out;
    if (!parameters.is_object()) return out;
    std::vector<std::pair<std::string, std::string>> pairs;
    // Objects iterate in ascending byte order of their keys.
    for (const auto& [key, value] : parameters.items()) appendComponents(key, value, pairs);
    for (const auto& [k, v] : pairs) {
        if (!out.empty()) out += '&';
        out += k;
        out += '=';
        out += v;
    }
    return out;
}

Result<platform::URLRequest> URLEncoding::encode(const URLRequestConvertible& convertible, const Parameters* parameters) const {
    using RequestResult = Result<platform::URLRequest>;
    auto converted = convertible.asURLRequest();
    if (converted.isFailure() || !parameters || parameters->is_null()) return converted;
    platform::URLRequest request = *converted.value();
    if (!parameters->is_object()) {
        return RequestResult::failure(HTTPError::parameterEncodingFailed(
            ParameterEncodingFailureReason::jsonEncodingFailed("Parameters must be a map of text keys to values.")));
    }

    const auto method = httpMethod(request.httpMethod.value_or("GET"));
    const bool inQuery = method && (destination_ == Destination::queryString ||
                                    (destination_ == Destination::methodDependent && isQueryMethod(method)));
    if (inQuery) {
        if (!request.url) return RequestResult::failure(HTTPError::parameterEncodingFailed(ParameterEncodingFailureReason::missingURL()));
        if (parameters->empty()) return RequestResult::success(std::move(request));
        const auto existing = request.url->percentEncodedQuery();
        const std::string text = (existing ? *existing + "&" : std::string()) + query(*parameters);
        if (auto url = request.url->withPercentEncodedQuery(text)) request.url = std::move(*url);
        return RequestResult::success(std::move(request));
    }
    if (!request.headers.contains("Content-Type")) {
        request.setValue("application/x-www-form-urlencoded; charset=utf-8", "Content-Type");
    }
    request.httpBody = query(*parameters);
    return RequestResult::success(std::move(request));
}

}  // namespace kiv::http

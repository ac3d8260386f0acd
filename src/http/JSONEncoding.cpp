#include "kiv/http/JSONEncoding.hpp"

#include "support/Immortal.hpp"
#include <cmath>
#include <nlohmann/json.hpp>

#include "http/JSONText.hpp"

namespace kiv::http {

namespace {
// JSON has no text for NaN or infinity: refuse them rather than write null.
bool hasNonFiniteNumber(const Parameters& value, int depth = 0) {
    if (depth > 512) return false;
    if (value.is_number_float()) return !std::isfinite(value.get<double>());
    if (value.is_structured()) {
        for (const auto& element : value) {
            if (hasNonFiniteNumber(element, depth + 1)) return true;
        }
    }
    return false;
}
}  // namespace

const JSONEncoding& JSONEncoding::defaultEncoding() {
    static Immortal<const JSONEncoding> encoding;  // used by requests until the threads stop at exit
    return encoding.get();
}

const JSONEncoding& JSONEncoding::prettyPrintedEncoding() {
    static Immortal<const JSONEncoding> encoding(prettyPrinted);
    return encoding.get();
}

Result<platform::URLRequest> JSONEncoding::encode(const URLRequestConvertible& convertible, const Parameters* parameters) const {
    using RequestResult = Result<platform::URLRequest>;
    auto converted = convertible.asURLRequest();
    if (converted.isFailure() || !parameters) return converted;
    platform::URLRequest request = *converted.value();
    auto fail = [](std::string why) {
        return RequestResult::failure(HTTPError::parameterEncodingFailed(ParameterEncodingFailureReason::jsonEncodingFailed(std::move(why))));
    };
    if (!parameters->is_object() && !parameters->is_array()) return fail("Invalid top-level type in JSON write.");
    if (hasNonFiniteNumber(*parameters)) return fail("Invalid number value (NaN or infinity) in JSON write.");
    std::string body;
    try {
        body = jsonText(*parameters, (options_ & prettyPrinted) ? 2 : -1);
    } catch (const std::exception& e) {
        return fail(e.what());
    }
    if (!request.headers.contains("Content-Type")) request.setValue("application/json", "Content-Type");
    request.httpBody = std::move(body);
    return RequestResult::success(std::move(request));
}

}  // namespace kiv::http

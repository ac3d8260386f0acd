#include "kiv/http/PropertyListEncoding.hpp"

#include "support/Immortal.hpp"
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

namespace kiv::http {

namespace {

std::string escaped(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            default: out += c;
        }
    }
    return out;
}

// Writes one value at `depth` tabs; false when the value has no property-list form.
bool write(const Parameters& value, int depth, std::string& out, std::string& why) {
    if (depth > 512) {
        why = "Property list nested too deeply.";
        return false;
    }
    const std::string indent(static_cast<std::size_t>(depth), '\t');
    if (value.is_object()) {
        out += indent + "<dict>\n";
        for (const auto& [key, element] : value.items()) {
            out += indent + "\t<key>" + escaped(key) + "</key>\n";
            if (!write(element, depth + 1, out, why)) return false;
        }
        out += indent + "</dict>\n";
    } else if (value.is_array()) {
        out += indent + "<array>\n";
        for (const auto& element : value) {
            if (!write(element, depth + 1, out, why)) return false;
        }
        out += indent + "</array>\n";
    } else if (value.is_string()) {
        out += indent + "<string>" + escaped(value.get_ref<const std::string&>()) + "</string>\n";
    } else if (value.is_boolean()) {
        out += indent + (value.get<bool>() ? "<true/>\n" : "<false/>\n");
    } else if (value.is_number_integer()) {
        out += indent + "<integer>" + value.dump() + "</integer>\n";
    } else if (value.is_number_float()) {
        const double d = value.get<double>();
        if (!std::isfinite(d)) {
            why = "Property list invalid for format: non-finite real.";
            return false;
        }
        out += indent + "<real>" + value.dump() + "</real>\n";
    } else {
        why = "Property list invalid for format: null and binary values have no property-list form.";
        return false;
    }
    return true;
}

}  // namespace

const PropertyListEncoding& PropertyListEncoding::defaultEncoding() {
    static Immortal<const PropertyListEncoding> encoding;  // used by requests until the threads stop at exit
    return encoding.get();
}

Result<platform::URLRequest> PropertyListEncoding::encode(const URLRequestConvertible& convertible, const Parameters* parameters) const {
    using RequestResult = Result<platform::URLRequest>;
    auto converted = convertible.asURLRequest();
    if (converted.isFailure() || !parameters) return converted;
    platform::URLRequest request = *converted.value();
    auto fail = [](std::string why) {
        return RequestResult::failure(
            HTTPError::parameterEncodingFailed(ParameterEncodingFailureReason::propertyListEncodingFailed(std::move(why))));
    };
    if (format_ != Format::xml) return fail("Only the XML property-list format can be written.");
    std::string body = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n";
    std::string why;
    if (!write(*parameters, 0, body, why)) return fail(why);
    body += "</plist>\n";
    if (!request.headers.contains("Content-Type")) request.setValue("application/x-plist", "Content-Type");
    request.httpBody = std::move(body);
    return RequestResult::success(std::move(request));
}

}  // namespace kiv::http

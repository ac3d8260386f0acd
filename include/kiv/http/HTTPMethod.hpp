#pragma once
/// HTTP methods and their exact texts.

#include <optional>
#include <string_view>

#include "kiv/export.hpp"

namespace kiv::http {

enum class HTTPMethod { options, get, head, post, put, patch, delete_, trace, connect };

/// "OPTIONS", "GET", ... (upper case).
KIV_EXPORT std::string_view rawValue(HTTPMethod method);
/// The method whose text is exactly `text` (upper case only), else none.
KIV_EXPORT std::optional<HTTPMethod> httpMethod(std::string_view text);

}  // namespace kiv::http

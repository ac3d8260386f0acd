#pragma once
/// Puts a parameter map into a request.

#include <optional>

#include "kiv/export.hpp"
#include "kiv/http/HTTPHeaders.hpp"
#include "kiv/http/Result.hpp"
#include "kiv/http/URLRequestConvertible.hpp"

namespace kiv::http {

/// Thread: encoders are immutable values, any thread.
class KIV_EXPORT ParameterEncoding {
public:
    virtual ~ParameterEncoding() = default;
    /// The encoded request; absent parameters (or JSON null) return the request unchanged.
    virtual Result<platform::URLRequest> encode(const URLRequestConvertible& request, const Parameters* parameters) const = 0;
};

}  // namespace kiv::http

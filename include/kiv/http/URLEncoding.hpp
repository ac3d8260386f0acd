#pragma once
/// Parameters as a URL query or a form body.

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kiv/http/ParameterEncoding.hpp"

namespace kiv::http {

/// Thread: immutable value, any thread.
class KIV_EXPORT URLEncoding final : public ParameterEncoding {
public:
    enum class Destination { methodDependent, queryString, httpBody };

    explicit URLEncoding(Destination destination = Destination::methodDependent) : destination_(destination) {}
    /// Query for GET, HEAD and DELETE, body otherwise: the form the library uses.
    static const URLEncoding& defaultEncoding();

    Destination destination() const { return destination_; }
    Result<platform::URLRequest> encode(const URLRequestConvertible& request, const Parameters* parameters) const override;

    /// Escaped (key, value) pairs of one key and value; nested keys read key[sub] and key[].
    static std::vector<std::pair<std::string, std::string>> queryComponents(const std::string& key, const Parameters& value);
    /// Percent-escapes every byte outside ASCII letters, digits and "-._~/?".
    static std::string escape(std::string_view text);
    /// The query text of a whole map: sorted top-level keys, pairs joined with "&".
    static std::string query(const Parameters& parameters);

private:
    Destination destination_;
};

}  // namespace kiv::http

#pragma once
/// Parameters as a property-list body.

#include "kiv/http/ParameterEncoding.hpp"

namespace kiv::http {

/// Only the XML format is written; the others fail with propertyListEncodingFailed.
/// Thread: immutable value, any thread.
class KIV_EXPORT PropertyListEncoding final : public ParameterEncoding {
public:
    enum class Format { openStep, xml, binary };

    explicit PropertyListEncoding(Format format = Format::xml, unsigned options = 0) : format_(format), options_(options) {}
    static const PropertyListEncoding& defaultEncoding();

    Format format() const { return format_; }
    unsigned options() const { return options_; }
    /// Sets the body; "Content-Type: application/x-plist" unless the caller set one.
    Result<platform::URLRequest> encode(const URLRequestConvertible& request, const Parameters* parameters) const override;

private:
    Format format_;
    unsigned options_;
};

}  // namespace kiv::http

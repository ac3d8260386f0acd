#pragma once
/// Parameters as a pretty-printed JSON body.

#include "kiv/http/ParameterEncoding.hpp"

namespace kiv::http {

/// Thread: immutable value, any thread.
class KIV_EXPORT JSONEncoding final : public ParameterEncoding {
public:
    /// Writer options; the only one is prettyPrinted (1).
    static constexpr unsigned prettyPrinted = 1;

    explicit JSONEncoding(unsigned options = 0) : options_(options) {}
    static const JSONEncoding& defaultEncoding();
    static const JSONEncoding& prettyPrintedEncoding();

    unsigned options() const { return options_; }
    /// Sets the body for any method; "Content-Type: application/json" unless the caller set one.
    Result<platform::URLRequest> encode(const URLRequestConvertible& request, const Parameters* parameters) const override;

private:
    unsigned options_;
};

}  // namespace kiv::http

#pragma once
/// Wraps an error that a request adapter returned while a task was created.

#include <memory>

#include "kiv/export.hpp"

namespace kiv::http {

class Error;

/// Thread: plain value, any thread.
struct KIV_EXPORT AdaptError {
    std::shared_ptr<const Error> error;
};

}  // namespace kiv::http

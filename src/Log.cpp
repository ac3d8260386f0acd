#include "kiv/Log.hpp"

#include <cstdio>
#include <mutex>

namespace kiv::log {

struct Capture::Impl {
    std::vector<std::string> lines;
    bool echo = false;
    Impl* previous = nullptr;
};

namespace {
// The sink is process-wide like standard output itself.
std::mutex& sinkMutex() {
    static std::mutex m;
    return m;
}
Capture::Impl*& activeCapture() {
    static Capture::Impl* capture = nullptr;
    return capture;
}
}  // namespace

void writeLine(std::string_view text) {
    std::string whole;
    whole.reserve(text.size() + 1);
    whole.append(text);
    whole.push_back('\n');
    std::lock_guard lock(sinkMutex());
    if (auto* capture = activeCapture()) {
        capture->lines.emplace_back(text);
        if (!capture->echo) return;
    }
    std::fwrite(whole.data(), 1, whole.size(), stdout);
    std::fflush(stdout);
}

std::string join(std::initializer_list<std::string_view> items) {
    std::string out;
    bool first = true;
    for (auto item : items) {
        if (!first) out += ' ';
        first = false;
        out += item;
    }
    return out;
}

Capture::Capture() : impl_(std::make_unique<Impl>()) {
    std::lock_guard lock(sinkMutex());
    impl_->previous = activeCapture();
    activeCapture() = impl_.get();
}

Capture::~Capture() {
    {
        std::lock_guard lock(sinkMutex());
        // Unlink wherever it sits, so captures may end in any order.
        Impl** link = &activeCapture();
        while (*link && *link != impl_.get()) link = &(*link)->previous;
        if (*link) *link = impl_->previous;
    }
}

std::vector<std::string> Capture::lines() const {
    std::lock_guard lock(sinkMutex());
    return impl_->lines;
}

void Capture::clear() {
    std::lock_guard lock(sinkMutex());
    impl_->lines.clear();
}

void Capture::setEcho(bool echo) {
    std::lock_guard lock(sinkMutex());
    impl_->echo = echo;
}

}  // namespace kiv::log

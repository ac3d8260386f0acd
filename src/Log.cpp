#include "kiv/Log.hpp"

#include <cstdio>
#include <mutex>

#include "support/Immortal.hpp"

namespace kiv::log {

struct Capture::Impl {
    std::vector<std::string> lines;
    bool echo = false;
    Impl* previous = nullptr;
};

namespace {
// The sink is process-wide like standard output itself.
std::mutex& sinkMutex() {
    static Immortal<std::mutex> m;  // library threads log until they stop at exit
    return m.get();
}
Capture::Impl*& activeCapture() {
    static Capture::Impl* capture = nullptr;
    return capture;
}
Sink& activeSink() {
    static Immortal<Sink> sink;
    return sink.get();
}
}  // namespace

std::string_view levelName(Level level) {
    switch (level) {
        case Level::debug: return "debug";
        case Level::info: return "info";
        case Level::warning: return "warning";
        case Level::error: return "error";
    }
    return "info";
}

void setSink(Sink sink) {
    std::lock_guard lock(sinkMutex());
    activeSink() = std::move(sink);
}

void write(const Record& record) {
    std::string whole;
    whole.reserve(record.text.size() + 1);
    whole.append(record.text);
    whole.push_back('\n');
    std::lock_guard lock(sinkMutex());
    if (auto* capture = activeCapture()) {
        capture->lines.emplace_back(record.text);
        if (!capture->echo) return;
    }
    if (const auto& sink = activeSink()) {
        // A sink that throws loses its line, never the caller's work.
        try {
            sink(record);
        } catch (...) {
        }
        return;
    }
    std::fwrite(whole.data(), 1, whole.size(), stdout);
    std::fflush(stdout);
}

void writeLine(std::string_view text) { write({Level::info, "kiv", text}); }

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

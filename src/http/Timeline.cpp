#include "kiv/http/Timeline.hpp"

#include <cstdio>

namespace kiv::http {

namespace {
std::string fixed3(double v) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.3f", v);
    return buffer;
}
std::string durations(const Timeline& t) {
    return "\"Latency\": " + fixed3(t.latency()) + " secs, \"Request Duration\": " + fixed3(t.requestDuration()) +
           " secs, \"Serialization Duration\": " + fixed3(t.serializationDuration()) + " secs, \"Total Duration\": " +
           fixed3(t.totalDuration()) + " secs";
}
}  // namespace

std::string Timeline::description() const { return "Timeline: { " + durations(*this) + " }"; }

std::string Timeline::debugDescription() const {
    return "Timeline: { \"Request Start Time\": " + fixed3(requestStartTime) + ", \"Initial Response Time\": " +
           fixed3(initialResponseTime) + ", \"Request Completed Time\": " + fixed3(requestCompletedTime) +
           ", \"Serialization Completed Time\": " + fixed3(serializationCompletedTime) + ", " + durations(*this) + " }";
}

}  // namespace kiv::http

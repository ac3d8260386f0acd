#pragma once
// Where the agent's lines and the library's go: standard output (the default) or journald.

#include <string>
#include <string_view>

#include "kiv/Log.hpp"

namespace kiv::agent {

/// Writes the agent's own lines ("kiv-agent: access token obtained") to the chosen target.
/// Thread: a value; safe from any thread.
struct AgentLines {
    bool journal = false;
    void write(log::Level level, std::string_view text) const;
};

/// Routes the library's lines to the target while alive, and writes the agent's own lines there.
/// Thread: lines may come from any thread.
class LogTarget {
public:
    /// `journal` sends records to journald with their priority and component; when this host
    /// has no journal, lines stay on standard output and `fellBack()` says so.
    explicit LogTarget(bool journal);
    ~LogTarget();
    LogTarget(const LogTarget&) = delete;
    LogTarget& operator=(const LogTarget&) = delete;

    bool fellBack() const { return fellBack_; }
    /// The agent's own lines on this target; usable after the target is gone.
    AgentLines lines() const { return {journal_}; }

private:
    bool journal_ = false;
    bool fellBack_ = false;
};

}  // namespace kiv::agent

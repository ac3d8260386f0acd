#include "LogTarget.hpp"

#include <sys/stat.h>
#include <syslog.h>
#include <systemd/sd-journal.h>

#include <string>

namespace kiv::agent {
namespace {

int priorityOf(log::Level level) {
    switch (level) {
        case log::Level::debug: return LOG_DEBUG;
        case log::Level::info: return LOG_INFO;
        case log::Level::warning: return LOG_WARNING;
        case log::Level::error: return LOG_ERR;
    }
    return LOG_INFO;
}

void toJournal(log::Level level, std::string_view component, std::string_view text) {
    const std::string message(text);
    const std::string from(component);
    sd_journal_send("MESSAGE=%s", message.c_str(), "PRIORITY=%d", priorityOf(level), "KIV_COMPONENT=%s", from.c_str(),
                    "SYSLOG_IDENTIFIER=kiv-agent", nullptr);
}

bool journalPresent() {
    struct stat info{};
    return ::stat("/run/systemd/journal/socket", &info) == 0;
}

}  // namespace

LogTarget::LogTarget(bool journal) {
    if (!journal) return;
    if (!journalPresent()) {
        fellBack_ = true;
        return;
    }
    journal_ = true;
    log::setSink([](const log::Record& record) { toJournal(record.level, record.component, record.text); });
}

LogTarget::~LogTarget() {
    if (journal_) log::setSink({});
}

void AgentLines::write(log::Level level, std::string_view text) const {
    if (journal) {
        toJournal(level, "kiv-agent", text);
        return;
    }
    log::write({level, "kiv-agent", text});
}

}  // namespace kiv::agent

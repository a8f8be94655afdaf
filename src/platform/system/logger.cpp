#include "platform/system/logger.h"

#include <syslog.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <filesystem>

namespace sorvanta {

Logger::Logger() {
    std::error_code error;
    journal_ = std::filesystem::exists("/run/systemd/journal/socket", error);
}

Logger& Logger::transport() {
    static Logger logger;
    return logger;
}

std::string Logger::standardErrorLine(Level level, std::string_view message) {
    std::string line;
    line += subsystem;
    line += '[';
    line += category;
    line += level == Level::info ? "] info: " : "] notice: ";
    line += message;
    line += '\n';
    return line;
}

void Logger::write(Level level, const std::string& message) {
    if (journal_ &&
        sd_journal_send("MESSAGE=%s", message.c_str(), "PRIORITY=%d",
                        level == Level::info ? LOG_INFO : LOG_NOTICE, "SYSLOG_IDENTIFIER=sorvanta",
                        "LOG_SUBSYSTEM=%s", std::string(subsystem).c_str(), "LOG_CATEGORY=%s",
                        std::string(category).c_str(), nullptr) >= 0) {
        return;
    }
    // One write per entry, so entries from different threads do not interleave.
    const auto line = standardErrorLine(level, message);
    [[maybe_unused]] const auto written = ::write(STDERR_FILENO, line.data(), line.size());
}

}  // namespace sorvanta

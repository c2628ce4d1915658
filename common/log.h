// One log file per program under /tmp, rotated by size, one line per call.
#pragma once

#include <cstddef>

enum class LogProgram { None, Lted, Cgi, Tracelink };

struct LogProgramConfig {
    const char *file;
    const char *rotated;
    long threshold; // rotate once the file is larger than this
    bool time_header;
    const char *name; // the prefix of every line, without ": "
    // wording of the shell command runner's messages in this program
    const char *cmd_signal_word; // "cmd %s error %d, %s" when killed by a signal
    const char *cmd_exit_word;   // "cmd %s error %d, %s" for a non-zero exit
};

// Chosen once at the start of main; until then nothing is logged.
void log_set_program(LogProgram program);
const LogProgramConfig *log_program_config();

constexpr size_t LOG_LINE_MAX = 512;

void __log_str(const char *format, ...) __attribute__((format(printf, 1, 2)));

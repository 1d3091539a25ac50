// The trace log: one process-wide, level-filtered record of what the
// handler did, written as timestamped lines into a file that the first
// message to pass the threshold creates exclusively.
#pragma once

#include <stddef.h>
#include <stdint.h>

// A message is written when its level is at most the threshold; the smaller
// the number, the more important the message.
constexpr int32_t TRACE_ERROR = 0;     // failures
constexpr int32_t TRACE_PROGRESS = 1;  // every step of a run

// The longest message written whole, line break excluded; a longer one is
// cut to this. Each line goes into the file in one write.
constexpr size_t TRACE_MESSAGE_MAX = 16384;

// Stores the name shown in every line, the file to create and the threshold.
// Opens and writes nothing. The two texts must outlive the process's use of
// the log (the handler passes string literals).
void trace_configure(const char *program_name, const char *path,
                     int32_t threshold);

// Writes one line "TIMESTAMP (NAME-PID): MESSAGE" and flushes it, in one
// write; a line that does not go in whole is cut out again. If the file
// cannot be created (anything already at its path, or any failed open), says
// so once on standard error and traces nothing more in this process: the run
// goes on, because a trace must never cost a trap. A failure (level
// TRACE_ERROR or below) that the file does not take goes to standard error
// instead, as "NAME: MESSAGE"; progress never does.
void trace_write(int32_t level, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

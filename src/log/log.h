#ifndef ZTV_LOG_LOG_H
#define ZTV_LOG_LOG_H

// The one logging facility: levelled lines (Log) for failures and progress,
// plain text (LogPrintf) for what the operator is meant to see. Both write to
// one process-wide stream (stderr until LogSetOutput names another) and are
// filtered by `debuglevel`. Set the level and the stream before the
// connection thread starts; afterwards they are only read.

#include <stdint.h>
#include <stdio.h>

enum LogLevel : int { CRIT = 0, ERROR = 1, WARNING = 2, INFO = 3, DEBUG = 4, DEBUG2 = 5 };

extern int32_t debuglevel;        // 0 quiet, 1 default, 4 verbose, 6 debug
extern const char* const levels[];  // level names, indexed by LogLevel
extern FILE* fmsg;                // output stream; null means stderr; not owned

// Makes `stream` the output of all later calls (null: stderr); returns it.
FILE* LogSetOutput(FILE* stream);

// Writes "LEVEL: text\n" when `level` <= debuglevel. Text is cut at 2046
// characters; below debuglevel 6 any text containing "no-name" is dropped.
// The line is flushed at once.
void Log(LogLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Writes the text as formatted (cut at 2046 characters) unless debuglevel is 0;
// flushes when the whole text ends in a newline.
void LogPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Copies the last few CRIT and ERROR lines (logged or filtered out, oldest
// first, "LEVEL: text\n" each, each cut to 160 characters) into `out`, cut
// to `size` with its NUL. Safe from any thread.
void LogRecentErrors(char* out, size_t size);

#endif  // ZTV_LOG_LOG_H

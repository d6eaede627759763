// Log with source file, function and line, and a per-session level filter.
#pragma once

#include "le_basics.h"

typedef enum
{
    LE_LOG_DEBUG = 0,
    LE_LOG_INFO,
    LE_LOG_WARN,
    LE_LOG_ERR,
    LE_LOG_CRIT,
    LE_LOG_EMERG
}
le_log_Level_t;

typedef struct le_log_Session* le_log_SessionRef_t;

// Registers a log component; the filter pointer lets the session's level be read cheaply.
le_log_SessionRef_t le_log_RegComponent(const char* componentName, le_log_Level_t** levelFilterPtrPtr);

// Session used by platform code itself ("framework").
le_log_SessionRef_t le_log_FrameworkSession(void);

void le_log_SetFilterLevel(le_log_SessionRef_t session, le_log_Level_t level);
// Applies to every registered session and to those registered later.
void le_log_SetGlobalFilterLevel(le_log_Level_t level);
bool le_log_ParseLevel(const char* text, le_log_Level_t* levelPtr);

void _le_log_Send(le_log_Level_t level, le_log_SessionRef_t session, const char* file,
                  const char* function, unsigned int line, const char* format, ...)
    __attribute__((format(printf, 6, 7)));

// Where finished lines go besides stderr. The sink receives the whole formatted line.
typedef void (*le_log_SinkFunc_t)(le_log_Level_t level, const char* line, void* context);
void le_log_SetSink(le_log_SinkFunc_t sink, void* context);
void le_log_SetStderr(bool enabled);
// Lines for stderr are written in batches; this writes what is waiting. The event loop calls it
// before it blocks, sleeps call it, warnings and worse are written at once, and exit flushes.
void le_log_Flush(void);
// Lines below this level are kept off stderr (the file, the sink and the capture still get them).
void le_log_SetConsoleLevel(le_log_Level_t level);
// stderr is the systemd journal's stream: each line there starts with its syslog priority ("<6>"
// for info, "<4>" for a warning, ...), which the journal takes as the line's priority.
void le_log_SetJournal(bool enabled);
// Whether this process's stderr is the journal's stream (JOURNAL_STREAM names stderr's device and
// inode, as systemd sets it for a service).
bool le_log_StderrIsJournal(void);
// Lines on stderr and in the file start with the date, the time to the millisecond and the time
// zone ("2026-12-07 23:58:55.123 +0000"). A line repeated in a row (the same level, place and
// message) is written once; the repeats are counted and said in one line, "last message repeated
// N times" (a single repeat is the line again), when another line comes, 30 s after the first
// repeat, or when the log is flushed at exit or its file closed. The sink and the capture get every line.
//
// Appends every line that passes the filters to the file, written with stderr's batches. Past
// maxBytes the file moves to "<path>.1" (replacing the previous one) and a new one starts: the two
// hold at most twice maxBytes. LE_BAD_PARAMETER, LE_FAULT (cannot open).
le_result_t le_log_OpenFile(const char* path, size_t maxBytes);
void le_log_CloseFile(void);

// Captures log lines in memory (for tests and diagnostics).
void le_log_CaptureStart(void);
void le_log_CaptureStop(void);
// Number of captured lines containing the text.
size_t le_log_CaptureCount(const char* text);
// Number of captured lines at the given level containing the text.
size_t le_log_CaptureCountAt(le_log_Level_t level, const char* text);
// Index of the first captured line containing text, at or after index from; -1 when none.
long le_log_CaptureFind(const char* text, size_t from);
size_t le_log_CaptureSize(void);
// Copies captured line index into buf (bounded); false when out of range.
bool le_log_CaptureLine(size_t index, char* buf, size_t bufSize);

// Each compilation unit logs to the session named by LE_LOG_SESSION (the framework session if unset).
#ifndef LE_LOG_SESSION
#define LE_LOG_SESSION le_log_FrameworkSession()
#endif

// True when the session (NULL: the framework's) passes messages of this level.
bool le_log_IsEnabled(le_log_SessionRef_t session, le_log_Level_t level);

// A message the filter drops costs no formatting and none of its arguments are evaluated.
#define LE_LOG_(level, ...)                                                                     \
    do                                                                                          \
    {                                                                                           \
        if (le_log_IsEnabled(LE_LOG_SESSION, level))                                           \
            _le_log_Send(level, LE_LOG_SESSION, __FILE__, __func__, __LINE__, __VA_ARGS__);     \
    } while (0)
#define LE_DEBUG(...) LE_LOG_(LE_LOG_DEBUG, __VA_ARGS__)
#define LE_INFO(...) LE_LOG_(LE_LOG_INFO, __VA_ARGS__)
#define LE_WARN(...) LE_LOG_(LE_LOG_WARN, __VA_ARGS__)
#define LE_ERROR(...) LE_LOG_(LE_LOG_ERR, __VA_ARGS__)
#define LE_CRIT(...) LE_LOG_(LE_LOG_CRIT, __VA_ARGS__)

#include "le_log.h"
#include "le_clock.h"
#include "le_thread.h"
#include "le_utf8.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

struct le_log_Session
{
    char name[48];
    le_log_Level_t level;
    le_log_Level_t* levelPtr;   // what the component reads; points at level
};

namespace
{
std::mutex& LogMutex()
{
    static std::mutex m;
    return m;
}

struct LogState
{
    std::vector<le_log_Session*> sessions;
    le_log_Level_t globalLevel = LE_LOG_INFO;
    bool globalSet = false;
    bool toStderr = true;
    le_log_SinkFunc_t sink = nullptr;
    void* sinkContext = nullptr;
    bool capturing = false;
    std::vector<std::string> captured;
    std::string pending;   // lines for stderr not written yet
    le_log_Level_t consoleLevel = LE_LOG_DEBUG;   // stderr shows what passes this as well
    int fileFd = -1;       // the log file, when one is open
    std::string filePath;
    size_t fileBytes = 0;
    size_t fileMax = 0;
    std::string filePending;
    bool journal = false;  // stderr lines carry their syslog priority
    // The last line written, for folding its repeats: everything but its time and thread.
    std::string lastKey;
    le_log_Level_t lastLevel = LE_LOG_INFO;
    std::string lastPlace;   // "<session> T=<thread> | <file> <function>() <line>"
    std::string lastMessage;
    size_t repeats = 0;
    uint64_t repeatSinceMs = 0;
};

const uint64_t RepeatSayAfterMs = 30000;

// Lines for stderr are gathered and written in one go when the writer is about to wait (the event
// loop before it blocks, a sleep), when warnings or worse arrive, or when enough piled up: a busy
// loop then costs one write per pass instead of one per line.
const size_t PendingFlushBytes = 16384;

void WriteAll(int fd, const std::string& text)
{
    size_t off = 0;
    while (off < text.size())
    {
        ssize_t n = write(fd, text.data() + off, text.size() - off);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;   // nowhere to write: the lines are dropped rather than kept forever
        off += static_cast<size_t>(n);
    }
}

// Caller holds the log mutex. A file that would pass its bound moves to "<path>.1" (replacing the
// previous one) and a new file starts, so the two hold at most twice the bound.
void WriteFilePending(LogState& st)
{
    if (st.fileFd < 0 || st.filePending.empty()) return;
    if (st.fileBytes > 0 && st.fileBytes + st.filePending.size() > st.fileMax)
    {
        close(st.fileFd);
        rename(st.filePath.c_str(), (st.filePath + ".1").c_str());
        st.fileFd = open(st.filePath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
        st.fileBytes = 0;
        if (st.fileFd < 0)
        {
            st.filePending.clear();
            return;
        }
    }
    WriteAll(st.fileFd, st.filePending);
    st.fileBytes += st.filePending.size();
    st.filePending.clear();
}

// Caller holds the log mutex.
void WritePending(LogState& st)
{
    WriteAll(STDERR_FILENO, st.pending);
    st.pending.clear();
    WriteFilePending(st);
}

LogState& State()
{
    static LogState s;
    return s;
}

const char* LevelName(le_log_Level_t level)
{
    switch (level)
    {
        case LE_LOG_DEBUG: return "DBUG";
        case LE_LOG_INFO: return "INFO";
        case LE_LOG_WARN: return "WARN";
        case LE_LOG_ERR: return "=ERR=";
        case LE_LOG_CRIT: return "*CRT*";
        case LE_LOG_EMERG: return "*EMR*";
    }
    return "?";
}

// "2026-12-07 23:58:55.123 +0000": the date, the time to the millisecond and the zone.
std::string Stamp(uint64_t epochMs)
{
    time_t seconds = static_cast<time_t>(epochMs / 1000u);
    struct tm local;
    localtime_r(&seconds, &local);
    char date[32], zone[16];
    strftime(date, sizeof(date), "%Y-%m-%d %H:%M:%S", &local);
    strftime(zone, sizeof(zone), "%z", &local);
    char stamp[64];
    snprintf(stamp, sizeof(stamp), "%s.%03u %s", date, static_cast<unsigned>(epochMs % 1000u), zone);
    return stamp;
}

// The syslog priority of a level, as the journal reads it at a line's start.
int Priority(le_log_Level_t level)
{
    switch (level)
    {
        case LE_LOG_DEBUG: return 7;
        case LE_LOG_INFO: return 6;
        case LE_LOG_WARN: return 4;
        case LE_LOG_ERR: return 3;
        case LE_LOG_CRIT: return 2;
        default: return 0;
    }
}

// Caller holds the log mutex. A finished line to stderr (by its level) and to the file.
void Queue(LogState& st, le_log_Level_t level, const std::string& text)
{
    if (st.toStderr && level >= st.consoleLevel)
    {
        if (st.journal) st.pending += "<" + std::to_string(Priority(level)) + ">";
        st.pending += text;
        st.pending += '\n';
    }
    if (st.fileFd >= 0)
    {
        st.filePending += text;
        st.filePending += '\n';
    }
}

// Caller holds the log mutex. Says how often the last line was repeated, if it was.
void SayRepeats(LogState& st, uint64_t nowMs)
{
    if (st.repeats == 0) return;
    // One repeat is the line again; more are their count.
    std::string said = st.repeats == 1 ? st.lastMessage : "last message repeated " + std::to_string(st.repeats) + " times";
    Queue(st, st.lastLevel, Stamp(nowMs) + " " + LevelName(st.lastLevel) + " | " + st.lastPlace + " | " + said);
    st.repeats = 0;
}

void FlushAtExit()
{
    {
        std::lock_guard<std::mutex> lock(LogMutex());
        SayRepeats(State(), le_clk_EpochMs());
    }
    le_log_Flush();
}



le_log_Session* NewSession(const char* name)
{
    auto* s = new le_log_Session();
    snprintf(s->name, sizeof(s->name), "%s", name);
    s->level = State().globalLevel;
    s->levelPtr = &s->level;
    State().sessions.push_back(s);
    return s;
}

// Control characters and bytes that are not well-formed UTF-8 are written as \xNN, so that a
// message carrying raw device bytes never sends control sequences to a terminal or splits a line.
void EscapeUnprintable(const char* in, char* out, size_t outSize)
{
    static const char digits[] = "0123456789abcdef";
    size_t len = strlen(in);
    size_t used = 0;
    for (size_t i = 0; i < len;)
    {
        size_t n = le_utf8_CharLength(in + i, len - i);
        unsigned char c = static_cast<unsigned char>(in[i]);
        bool printable = n > 1 || (n == 1 && c >= 0x20 && c != 0x7F);
        size_t need = printable ? n : 4;
        if (used + need >= outSize) break;
        if (printable)
        {
            memcpy(out + used, in + i, n);
            i += n;
        }
        else
        {
            out[used] = '\\';
            out[used + 1] = 'x';
            out[used + 2] = digits[c >> 4];
            out[used + 3] = digits[c & 0x0F];
            i++;
        }
        used += need;
    }
    out[used] = '\0';
}

const char* BaseName(const char* path)
{
    const char* slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}
}

le_log_SessionRef_t le_log_RegComponent(const char* componentName, le_log_Level_t** levelFilterPtrPtr)
{
    std::lock_guard<std::mutex> lock(LogMutex());
    for (le_log_Session* s : State().sessions)
    {
        if (strcmp(s->name, componentName) == 0)
        {
            if (levelFilterPtrPtr) *levelFilterPtrPtr = s->levelPtr;
            return s;
        }
    }
    le_log_Session* s = NewSession(componentName);
    if (levelFilterPtrPtr) *levelFilterPtrPtr = s->levelPtr;
    return s;
}

le_log_SessionRef_t le_log_FrameworkSession(void)
{
    static le_log_SessionRef_t framework = le_log_RegComponent("framework", nullptr);
    return framework;
}

void le_log_SetFilterLevel(le_log_SessionRef_t session, le_log_Level_t level)
{
    std::lock_guard<std::mutex> lock(LogMutex());
    if (session) session->level = level;
}

void le_log_SetGlobalFilterLevel(le_log_Level_t level)
{
    std::lock_guard<std::mutex> lock(LogMutex());
    State().globalLevel = level;
    State().globalSet = true;
    for (le_log_Session* s : State().sessions)
    {
        s->level = level;
    }
}

bool le_log_ParseLevel(const char* text, le_log_Level_t* levelPtr)
{
    static const struct { const char* name; le_log_Level_t level; } names[] = {
        {"debug", LE_LOG_DEBUG}, {"info", LE_LOG_INFO}, {"warning", LE_LOG_WARN}, {"warn", LE_LOG_WARN},
        {"error", LE_LOG_ERR},   {"crit", LE_LOG_CRIT}, {"emerg", LE_LOG_EMERG}};
    for (const auto& n : names)
    {
        if (text && strcasecmp(text, n.name) == 0)
        {
            *levelPtr = n.level;
            return true;
        }
    }
    return false;
}

bool le_log_IsEnabled(le_log_SessionRef_t session, le_log_Level_t level)
{
    if (session == nullptr) session = le_log_FrameworkSession();
    return level >= session->level;
}

void _le_log_Send(le_log_Level_t level, le_log_SessionRef_t session, const char* file, const char* function,
                  unsigned int line, const char* format, ...)
{
    if (session == nullptr)
    {
        session = le_log_FrameworkSession();
    }
    if (level < session->level)
    {
        return;
    }
    char raw[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(raw, sizeof(raw), format, args);
    va_end(args);
    char message[sizeof(raw) * 4];
    EscapeUnprintable(raw, message, sizeof(message));

    // Platform time, so that lines written on a virtual or skipping clock show the time the
    // component lives in.
    uint64_t nowMs = le_clk_EpochMs();
    char place[400];
    snprintf(place, sizeof(place), "%s T=%s | %s %s() %u", session->name, le_thread_GetName(le_thread_GetCurrent()),
             BaseName(file), function, line);
    char text[sizeof(message) + 500];
    snprintf(text, sizeof(text), "%s %s | %s | %s", Stamp(nowMs).c_str(), LevelName(level), place, message);

    le_log_SinkFunc_t sink;
    void* sinkContext;
    {
        std::lock_guard<std::mutex> lock(LogMutex());
        LogState& st = State();
        if (st.toStderr || st.fileFd >= 0)
        {
            static bool exitFlushRegistered = (atexit(FlushAtExit) == 0);
            LE_UNUSED(exitFlushRegistered);
            // A repeat of the line before is counted, not written, for up to 30 s.
            std::string key = std::string(LevelName(level)) + session->name + "|" + file + "|" + function + "|" +
                              std::to_string(line) + "|" + message;
            bool repeat = key == st.lastKey;
            if (repeat && st.repeats++ == 0) st.repeatSinceMs = nowMs;
            if (!repeat || nowMs - st.repeatSinceMs >= RepeatSayAfterMs) SayRepeats(st, nowMs);
            if (!repeat)
            {
                st.lastKey = key;
                st.lastLevel = level;
                st.lastPlace = place;
                st.lastMessage = message;
                Queue(st, level, text);
            }
            if (level >= LE_LOG_WARN || st.pending.size() >= PendingFlushBytes ||
                st.filePending.size() >= PendingFlushBytes)
            {
                WritePending(st);
            }
        }
        if (st.capturing)
        {
            st.captured.emplace_back(text);
        }
        sink = st.sink;
        sinkContext = st.sinkContext;
    }
    if (sink)
    {
        sink(level, text, sinkContext);
    }
}

void le_log_SetSink(le_log_SinkFunc_t sink, void* context)
{
    std::lock_guard<std::mutex> lock(LogMutex());
    State().sink = sink;
    State().sinkContext = context;
}

void le_log_SetStderr(bool enabled)
{
    std::lock_guard<std::mutex> lock(LogMutex());
    WritePending(State());
    State().toStderr = enabled;
}

void le_log_Flush(void)
{
    std::lock_guard<std::mutex> lock(LogMutex());
    if (!State().pending.empty() || !State().filePending.empty()) WritePending(State());
}

void le_log_SetConsoleLevel(le_log_Level_t level)
{
    std::lock_guard<std::mutex> lock(LogMutex());
    State().consoleLevel = level;
}

void le_log_SetJournal(bool enabled)
{
    std::lock_guard<std::mutex> lock(LogMutex());
    State().journal = enabled;
}

bool le_log_StderrIsJournal(void)
{
    const char* stream = getenv("JOURNAL_STREAM");
    unsigned long long device = 0, inode = 0;
    struct stat st;
    return stream != nullptr && sscanf(stream, "%llu:%llu", &device, &inode) == 2 && fstat(STDERR_FILENO, &st) == 0 &&
           static_cast<unsigned long long>(st.st_dev) == device && static_cast<unsigned long long>(st.st_ino) == inode;
}

le_result_t le_log_OpenFile(const char* path, size_t maxBytes)
{
    if (path == nullptr || *path == '\0' || maxBytes == 0) return LE_BAD_PARAMETER;
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) return LE_FAULT;
    struct stat st;
    size_t size = fstat(fd, &st) == 0 ? static_cast<size_t>(st.st_size) : 0;
    std::lock_guard<std::mutex> lock(LogMutex());
    LogState& s = State();
    WritePending(s);
    if (s.fileFd >= 0) close(s.fileFd);
    s.fileFd = fd;
    s.filePath = path;
    s.fileBytes = size;
    s.fileMax = maxBytes;
    return LE_OK;
}

void le_log_CloseFile(void)
{
    std::lock_guard<std::mutex> lock(LogMutex());
    LogState& s = State();
    SayRepeats(s, le_clk_EpochMs());
    WritePending(s);
    if (s.fileFd >= 0) close(s.fileFd);
    s.fileFd = -1;
}

void le_log_CaptureStart(void)
{
    std::lock_guard<std::mutex> lock(LogMutex());
    State().capturing = true;
    State().captured.clear();
}

void le_log_CaptureStop(void)
{
    std::lock_guard<std::mutex> lock(LogMutex());
    State().capturing = false;
}

size_t le_log_CaptureCount(const char* text)
{
    std::lock_guard<std::mutex> lock(LogMutex());
    size_t n = 0;
    for (const std::string& l : State().captured)
    {
        if (l.find(text) != std::string::npos) n++;
    }
    return n;
}

size_t le_log_CaptureCountAt(le_log_Level_t level, const char* text)
{
    std::lock_guard<std::mutex> lock(LogMutex());
    std::string tag = std::string(" ") + LevelName(level) + " | ";
    size_t n = 0;
    for (const std::string& l : State().captured)
    {
        if (l.find(tag) != std::string::npos && l.find(text) != std::string::npos) n++;
    }
    return n;
}

long le_log_CaptureFind(const char* text, size_t from)
{
    std::lock_guard<std::mutex> lock(LogMutex());
    const auto& c = State().captured;
    for (size_t i = from; i < c.size(); i++)
    {
        if (c[i].find(text) != std::string::npos) return static_cast<long>(i);
    }
    return -1;
}

size_t le_log_CaptureSize(void)
{
    std::lock_guard<std::mutex> lock(LogMutex());
    return State().captured.size();
}

bool le_log_CaptureLine(size_t index, char* buf, size_t bufSize)
{
    std::lock_guard<std::mutex> lock(LogMutex());
    const auto& c = State().captured;
    if (index >= c.size() || bufSize == 0) return false;
    snprintf(buf, bufSize, "%s", c[index].c_str());
    return true;
}

#include "cloud_outbox.h"
#include "datahub_admin.h"
#include "le_clock.h"
#include "le_log.h"
#include "pa_path.h"
#include "pa_text.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

// Records, one a line, tab-separated, the last field the CRC-32 of the line before it:
//   V <seq> <type> <timestamp> <path> <value>   a value (path and value escaped as dhub escapes them)
//   X <seq> <type> 0 <path> ""                  a deletion
//   D <seq>                                     every entry up to seq has left (delivered or dropped)
namespace
{
// A file this much larger than what it still holds is rewritten.
const size_t RewriteSlackBytes = 1u << 20;
// The longest record there can be: a path and a value, each escaped (at most doubled), and the rest.
const size_t MaxRecordBytes = 2 * (IO_MAX_RESOURCE_PATH_LEN + IO_MAX_STRING_VALUE_LEN) + 128;
// Sequence numbers above this are renumbered when read (a gateway never counts that far).
const uint64_t SeqRenumberAbove = 1ull << 62;
// Pauses between tries when the disk refuses.
const uint64_t RetryFirstMs = 1000;
const uint64_t RetryLastMs = 60000;

std::string Sealed(const std::string& body)
{
    char crc[16];
    snprintf(crc, sizeof(crc), "\t%08x\n", cloudOutbox_Crc32(body.data(), body.size()));
    return body + crc;
}

std::string GoneRecord(uint64_t seq)
{
    return Sealed("D\t" + std::to_string(seq));
}

bool WriteAll(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size())
    {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}
}

uint32_t cloudOutbox_Crc32(const void* data, size_t size)
{
    // Built once, and safely so whichever thread asks first.
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; i++)
        {
            uint32_t c = i;
            for (int k = 0; k < 8; k++) c = (c & 1) ? (0xEDB88320u ^ (c >> 1)) : (c >> 1);
            t[i] = c;
        }
        return t;
    }();
    uint32_t crc = 0xFFFFFFFFu;
    const auto* p = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < size; i++) crc = table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

std::string cloudOutbox_Record(const cloudOutbox_Entry& e)
{
    std::vector<char> path(2 * e.path.size() + 1);
    std::vector<char> value(2 * e.value.size() + 1);
    dhub_Escape(e.path.c_str(), path.data(), path.size());
    dhub_Escape(e.value.c_str(), value.data(), value.size());
    char ts[64];
    dhub_FormatNumber(e.timestamp, ts, sizeof(ts));
    return Sealed(std::string(e.deleted ? "X" : "V") + "\t" + std::to_string(e.seq) + "\t" + dhub_TypeName(e.type) +
                  "\t" + ts + "\t" + path.data() + "\t" + value.data());
}

CloudOutbox::~CloudOutbox()
{
    Close();
}

le_result_t CloudOutbox::Open(const char* path, size_t maxCount, size_t maxBytes)
{
    Close();
    path_ = path;
    maxCount_ = maxCount > 0 ? maxCount : 1;
    maxBytes_ = maxBytes;
    entries_.clear();
    liveBytes_ = 0;
    sentCount_ = 0;
    inFlight_ = 0;
    dropped_ = 0;
    unwritten_.clear();
    fileBroken_ = false;
    needRewrite_ = false;
    retryDelayMs_ = 0;

    size_t goodLines = 0;
    std::vector<size_t> damagedLines;   // line numbers of records whose checksum or form is wrong
    bool tornTail = false;              // the last line has no end: a crash while it was written
    uint64_t maxSeq = 0;
    uint64_t goneRead = 0;              // the last gone mark the file holds
    off_t soundEnd = 0;                 // where the last whole line ends
    std::deque<uint64_t> boundDrops;    // entries the bounds dropped while reading, not yet known gone
    FILE* f = pa_fs_Fopen(path, "r");
    if (f == nullptr && errno != ENOENT)
    {
        // Never replaced by an empty one: what it holds may still be read once the fault is mended.
        LE_ERROR("Cloud link: cannot read the outbox %s: %s", path, strerror(errno));
        return LE_FAULT;
    }
    if (f != nullptr)
    {
        std::string line;
        std::vector<char> text(IO_MAX_STRING_VALUE_LEN + 1);
        std::vector<char> p(IO_MAX_RESOURCE_PATH_LEN + 1);
        int c;
        size_t lineNumber = 0;
        off_t offset = 0;
        for (;;)
        {
            line.clear();
            size_t length = 0;
            while ((c = fgetc(f)) != EOF && c != '\n')
            {
                length++;
                if (line.size() <= MaxRecordBytes) line += static_cast<char>(c);
            }
            if (c == EOF && length == 0) break;
            lineNumber++;
            offset += static_cast<off_t>(length + (c == '\n' ? 1 : 0));
            if (c != '\n')
            {
                tornTail = true;
                break;
            }
            soundEnd = offset;
            // A line must carry the checksum of what it says; a damaged one is skipped on its own.
            size_t tab = line.rfind('\t');
            uint32_t crc = 0;
            bool sound = length <= MaxRecordBytes && tab != std::string::npos && line.size() - tab == 9 &&
                         sscanf(line.c_str() + tab + 1, "%8x", &crc) == 1 && crc == cloudOutbox_Crc32(line.data(), tab);
            std::vector<std::string> fields = sound ? pa_text_Split(line.substr(0, tab), '\t') : std::vector<std::string>();
            uint64_t seq = 0;
            if (sound && fields.size() == 2 && fields[0] == "D" && pa_text_ParseUnsigned(fields[1].c_str(), &seq))
            {
                while (!entries_.empty() && entries_.front().seq <= seq)
                {
                    liveBytes_ -= entries_.front().bytes;
                    entries_.pop_front();
                }
                // Those the bounds dropped while reading had left anyway: no loss to count.
                while (!boundDrops.empty() && boundDrops.front() <= seq) boundDrops.pop_front();
                if (seq > maxSeq) maxSeq = seq;
                if (seq > goneRead) goneRead = seq;
                goodLines++;
                continue;
            }
            cloudOutbox_Entry e;
            char* end = nullptr;
            if (sound && fields.size() == 6 && (fields[0] == "V" || fields[0] == "X") &&
                pa_text_ParseUnsigned(fields[1].c_str(), &e.seq) && e.seq > maxSeq &&
                dhub_TypeFromName(fields[2].c_str(), &e.type) && dhub_Unescape(fields[4].c_str(), p.data(), p.size()) &&
                dhub_Unescape(fields[5].c_str(), text.data(), text.size()))
            {
                e.timestamp = strtod(fields[3].c_str(), &end);
                e.deleted = fields[0] == "X";
                e.path = p.data();
                e.value = text.data();
                e.bytes = line.size() + 1;
                maxSeq = e.seq;
                liveBytes_ += e.bytes;
                entries_.push_back(std::move(e));
                // The bounds hold while reading, so a huge file costs no more memory than a full outbox.
                while (entries_.size() > maxCount_ || liveBytes_ > maxBytes_)
                {
                    boundDrops.push_back(entries_.front().seq);
                    liveBytes_ -= entries_.front().bytes;
                    entries_.pop_front();
                }
                goodLines++;
                continue;
            }
            damagedLines.push_back(lineNumber);
            dropped_++;
        }
        bool unreadable = ferror(f) != 0;
        int readErrno = errno;
        fclose(f);
        if (unreadable)
        {
            LE_ERROR("Cloud link: cannot read the outbox %s: %s", path, strerror(readErrno));
            return LE_FAULT;
        }
    }
    dropped_ += boundDrops.size();
    lastGone_ = entries_.empty() ? maxSeq : entries_.front().seq - 1;
    lastGoneWritten_ = goneRead;
    nextSeq_ = maxSeq + 1;
    // Numbers far beyond what a gateway ever counts to come from a damaged file: renumbered, they
    // can never wrap.
    if (maxSeq > SeqRenumberAbove)
    {
        uint64_t seq = 0;
        for (cloudOutbox_Entry& e : entries_) e.seq = ++seq;
        lastGone_ = 0;
        nextSeq_ = seq + 1;
        needRewrite_ = true;
        LE_WARN("Cloud link: the outbox %s numbered its records beyond %llu; they are numbered anew", path,
                static_cast<unsigned long long>(SeqRenumberAbove));
    }
    if (tornTail)
    {
        dropped_++;
        LE_WARN("Cloud link: the outbox %s ended in a record cut short (a crash while writing): left out", path);
    }
    if (!damagedLines.empty())
    {
        // Kept aside for whoever wants to know what happened; the outbox goes on with a clean file.
        std::string aside = path_ + ".damaged";
        bool kept = pa_fs_Rename(path, aside.c_str()) == 0;
        std::string where;
        for (size_t i = 0; i < damagedLines.size() && i < 5; i++) where += (i ? ", " : "") + std::to_string(damagedLines[i]);
        if (damagedLines.size() > 5) where += ", ...";
        LE_WARN("Cloud link: the outbox %s held %zu damaged records (line %s) among %zu sound ones: they are skipped "
                "and counted as dropped; %s",
                path, damagedLines.size(), where.c_str(), goodLines,
                kept ? ("the file is kept as " + aside).c_str() : "the file could not be kept aside");
        needRewrite_ = true;
    }
    if (!entries_.empty())
    {
        LE_INFO("Cloud link: %zu values wait in the outbox %s", entries_.size(), path);
    }
    // Opened without rewriting: a sound file is appended to, so a full disk does not stop the start.
    if (needRewrite_ || !OpenForAppend(soundEnd, tornTail)) Flush();
    return LE_OK;
}

// The file as it is, for appending: a torn last line is cut off first (which frees space rather
// than taking it), so that what follows starts on a line of its own.
bool CloudOutbox::OpenForAppend(off_t soundEnd, bool tornTail)
{
    fd_ = pa_fs_Open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) return false;
    if (tornTail && ftruncate(fd_, soundEnd) != 0)
    {
        close(fd_);
        fd_ = -1;
        return false;
    }
    struct stat st;
    fileBytes_ = fstat(fd_, &st) == 0 ? static_cast<size_t>(st.st_size) : 0;
    return true;
}

void CloudOutbox::Close()
{
    if (fd_ >= 0)
    {
        Flush();
        Sync();
        close(fd_);
        fd_ = -1;
    }
}

// The file holds exactly what is live: written beside it, then renamed over it.
bool CloudOutbox::Rewrite()
{
    std::string content = GoneRecord(lastGone_);
    for (const cloudOutbox_Entry& e : entries_) content += cloudOutbox_Record(e);
    if (fd_ >= 0)
    {
        close(fd_);
        fd_ = -1;
    }
    if (pa_fs_WriteFileAtomic(path_.c_str(), content.data(), content.size()) != LE_OK)
    {
        Refused("cannot write it");
        return false;
    }
    fd_ = pa_fs_Open(path_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC, 0600);
    if (fd_ < 0)
    {
        Refused(strerror(errno));
        return false;
    }
    fileBytes_ = content.size();
    lastGoneWritten_ = lastGone_;
    unwritten_.clear();
    needRewrite_ = false;
    Written();
    dirty_ = false;
    return true;
}

// A write that fails halfway is cut back, so the file never holds half a record followed by more.
bool CloudOutbox::Append(const std::string& text)
{
    if (text.empty()) return true;
    if (fd_ < 0 || !WriteAll(fd_, text))
    {
        int writeErrno = errno;
        if (fd_ >= 0 && ftruncate(fd_, static_cast<off_t>(fileBytes_)) != 0)
        {
            close(fd_);
            fd_ = -1;
        }
        Refused(fd_ < 0 && writeErrno == 0 ? "it is not open" : strerror(writeErrno));
        return false;
    }
    fileBytes_ += text.size();
    dirty_ = true;
    return true;
}

// The disk refused: said once, and tried again after a pause that doubles up to a minute.
void CloudOutbox::Refused(const char* why)
{
    if (!fileBroken_)
    {
        LE_ERROR("Cloud link: cannot write the outbox %s (%s): it is kept in memory until it can be",
                 path_.c_str(), why);
    }
    fileBroken_ = true;
    retryDelayMs_ = retryDelayMs_ == 0 ? RetryFirstMs : std::min<uint64_t>(2 * retryDelayMs_, RetryLastMs);
    retryAtMs_ = le_clk_RealMs() + retryDelayMs_;
}

void CloudOutbox::Written()
{
    if (fileBroken_) LE_INFO("Cloud link: the outbox %s is written again", path_.c_str());
    fileBroken_ = false;
    retryDelayMs_ = 0;
}

void CloudOutbox::DropOldest()
{
    cloudOutbox_Entry& e = entries_.front();
    if (sentCount_ > 0)
    {
        sentCount_--;
        if (e.sent && !e.acked) inFlight_--;
    }
    liveBytes_ -= e.bytes;
    lastGone_ = e.seq;
    entries_.pop_front();
    dropped_++;
}

void CloudOutbox::PopDelivered()
{
    while (!entries_.empty() && entries_.front().acked)
    {
        lastGone_ = entries_.front().seq;
        liveBytes_ -= entries_.front().bytes;
        entries_.pop_front();
        if (sentCount_ > 0) sentCount_--;
    }
}

void CloudOutbox::Add(bool deleted, const char* path, io_DataType_t type, double timestamp, const char* value)
{
    cloudOutbox_Entry e;
    e.seq = nextSeq_++;
    e.deleted = deleted;
    e.type = type;
    e.timestamp = timestamp;
    e.path = path;
    e.value = value ? value : "";
    std::string record = cloudOutbox_Record(e);
    e.bytes = record.size();
    while (!entries_.empty() && (entries_.size() >= maxCount_ || liveBytes_ + e.bytes > maxBytes_)) DropOldest();
    liveBytes_ += e.bytes;
    entries_.push_back(std::move(e));
    unwritten_ += record;
}

bool CloudOutbox::Flush()
{
    if (path_.empty()) return false;
    if (fileBroken_ && le_clk_RealMs() < retryAtMs_) return false;
    // Records of entries long gone need not pile up while the disk refuses: the whole file is
    // written from what is live once it can be.
    if (unwritten_.size() > maxBytes_ + RewriteSlackBytes)
    {
        unwritten_.clear();
        needRewrite_ = true;
    }
    bool slack = fileBytes_ > RewriteSlackBytes && fileBytes_ > 2 * (liveBytes_ + unwritten_.size());
    if (needRewrite_ || fd_ < 0 || slack) return Rewrite();
    // A record of an entry dropped before it was written is written anyway; the gone mark after it
    // tells the next reader.
    std::string text = unwritten_;
    if (lastGone_ != lastGoneWritten_) text += GoneRecord(lastGone_);
    if (!Append(text)) return false;   // what was to be written waits for the next try
    unwritten_.clear();
    lastGoneWritten_ = lastGone_;
    Written();
    return true;
}

void CloudOutbox::Sync()
{
    if (fd_ >= 0 && dirty_)
    {
        fdatasync(fd_);
        dirty_ = false;
    }
}

cloudOutbox_Entry* CloudOutbox::NextToSend()
{
    while (sentCount_ < entries_.size())
    {
        cloudOutbox_Entry& e = entries_[sentCount_++];
        if (e.acked) continue;
        e.sent = true;
        inFlight_++;
        return &e;
    }
    return nullptr;
}

void CloudOutbox::Acked(uint64_t seq)
{
    // In order of seq, though not always without gaps (a file may hold any rising numbers).
    auto it = std::lower_bound(entries_.begin(), entries_.begin() + static_cast<long>(sentCount_), seq,
                               [](const cloudOutbox_Entry& e, uint64_t s) { return e.seq < s; });
    if (it == entries_.begin() + static_cast<long>(sentCount_) || it->seq != seq) return;
    cloudOutbox_Entry& e = *it;
    if (e.acked || !e.sent) return;
    e.acked = true;
    inFlight_--;
    PopDelivered();
}

void CloudOutbox::ResendAll()
{
    for (size_t i = 0; i < sentCount_ && i < entries_.size(); i++) entries_[i].sent = false;
    sentCount_ = 0;
    inFlight_ = 0;
}

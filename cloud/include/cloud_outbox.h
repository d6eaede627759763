// The cloud link's outbox: values on their way to the broker, in order, kept in a file so that a
// restart loses none. The file is a log of text records, each line with its own checksum; a line
// that a crash cut short, or that was damaged, is recognised and left out on its own when the file
// is read again, and the file is rewritten (to a temporary file, then renamed) when delivered
// records fill most of it. A disk that refuses writes costs nothing but the file: the values stay
// in memory within the bounds, and the file is tried again after a pause.
#pragma once

#include "io.h"
#include "le_basics.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <sys/types.h>

struct cloudOutbox_Entry
{
    uint64_t seq = 0;
    bool deleted = false;   // the resource went away: its retained value is to be cleared
    io_DataType_t type = IO_DATA_TYPE_TRIGGER;
    double timestamp = 0.0;
    std::string path;
    std::string value;
    size_t bytes = 0;   // its record's size, which the byte bound counts
    bool sent = false;
    bool acked = false;
};

class CloudOutbox
{
public:
    CloudOutbox() = default;
    CloudOutbox(const CloudOutbox&) = delete;
    CloudOutbox& operator=(const CloudOutbox&) = delete;
    ~CloudOutbox();

    // Reads what the file holds (none: an empty outbox) and goes on appending to it. Entries past
    // the bounds are dropped as they are read, the oldest first. Damaged records are skipped and
    // counted as dropped, and the file is then kept aside as "<path>.damaged" and written anew.
    // LE_FAULT when the file exists but cannot be read (it is left as it is); a file that cannot be
    // written is no reason to refuse.
    le_result_t Open(const char* path, size_t maxCount, size_t maxBytes);
    void Close();

    // Queues a value (or a deletion) behind the others; the oldest go when the bounds are reached.
    // The record reaches the file at the next Flush.
    void Add(bool deleted, const char* path, io_DataType_t type, double timestamp, const char* value);
    // Writes what was added or delivered since the last call; false when the file refused it, or
    // while the pause after a refusal lasts (the outbox then lives on in memory).
    bool Flush();
    // Whether the file refused the last write.
    bool FileBroken() const { return fileBroken_; }
    // Waits for the file's data to reach the disk, when something was written since the last call.
    void Sync();

    // The next entry not yet handed out on this connection (NULL: none), marked as sent.
    cloudOutbox_Entry* NextToSend();
    // Delivery confirmed: the entry leaves once every older one has left too.
    void Acked(uint64_t seq);
    // A new connection: everything not confirmed is to be sent again, in order.
    void ResendAll();

    size_t Depth() const { return entries_.size(); }
    size_t Bytes() const { return liveBytes_; }
    size_t InFlight() const { return inFlight_; }
    uint64_t Dropped() const { return dropped_; }
    size_t FileBytes() const { return fileBytes_; }
    const std::deque<cloudOutbox_Entry>& Entries() const { return entries_; }

private:
    void DropOldest();
    void PopDelivered();
    bool Rewrite();
    bool Append(const std::string& text);
    bool OpenForAppend(off_t soundEnd, bool tornTail);
    void Refused(const char* why);
    void Written();

    std::string path_;
    int fd_ = -1;
    size_t maxCount_ = 0;
    size_t maxBytes_ = 0;
    std::deque<cloudOutbox_Entry> entries_;
    size_t liveBytes_ = 0;
    size_t sentCount_ = 0;   // entries at the front handed out on this connection
    size_t inFlight_ = 0;    // of those, not yet confirmed
    uint64_t nextSeq_ = 1;
    uint64_t lastGone_ = 0;         // every entry up to this one has left
    uint64_t lastGoneWritten_ = 0;  // as the file says
    uint64_t dropped_ = 0;
    std::string unwritten_;         // records added since the last Flush
    size_t fileBytes_ = 0;
    bool fileBroken_ = false;       // a write failed: tried again at retryAtMs_
    bool needRewrite_ = false;      // the file is to be written whole from what is live
    uint64_t retryDelayMs_ = 0;
    uint64_t retryAtMs_ = 0;
    bool dirty_ = false;            // written since the last Sync
};

// Record format, shared with the tests that tear files on purpose.
std::string cloudOutbox_Record(const cloudOutbox_Entry& e);
uint32_t cloudOutbox_Crc32(const void* data, size_t size);

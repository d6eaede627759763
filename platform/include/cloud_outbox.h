// The cloud link's outbox: values on their way to the broker, in order, kept in a file so that a
// restart loses none. The file is a log of text records, each line with its own checksum; a line
// that a crash cut short is recognised and dropped when the file is read again, and the file is
// rewritten (to a temporary file, then renamed) when delivered records fill most of it.
#pragma once

#include "io.h"
#include "le_basics.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

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

    // Reads what the file holds (none: an empty outbox) and starts a clean copy of it. Entries past
    // the bounds are dropped, the oldest first. LE_FAULT when the file cannot be written.
    le_result_t Open(const char* path, size_t maxCount, size_t maxBytes);
    void Close();

    // Queues a value (or a deletion) behind the others; the oldest go when the bounds are reached.
    // The record reaches the file at the next Flush.
    void Add(bool deleted, const char* path, io_DataType_t type, double timestamp, const char* value);
    // Writes what was added or delivered since the last call; false when the file refused it (the
    // outbox then lives on in memory and the file is rewritten whole when it can be).
    bool Flush();
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
    bool fileBroken_ = false;       // a write failed: the next Flush rewrites the file whole
    bool dirty_ = false;            // written since the last Sync
};

// Record format, shared with the tests that tear files on purpose.
std::string cloudOutbox_Record(const cloudOutbox_Entry& e);
uint32_t cloudOutbox_Crc32(const void* data, size_t size);

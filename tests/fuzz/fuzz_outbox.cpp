// The cloud link's outbox file as a crash, a full disk or a hand may leave it: read within small
// bounds, then the copy it wrote must read back the same, and delivering everything must empty it.
#include "cloud_outbox.h"
#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace
{
const size_t MaxValues = 50;
const size_t MaxBytes = 8192;

std::vector<std::string> Records(const CloudOutbox& box)
{
    std::vector<std::string> out;
    for (const cloudOutbox_Entry& e : box.Entries()) out.push_back(cloudOutbox_Record(e));
    return out;
}
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string& dir = fuzz_Setup();
    std::string file = dir + "/outbox.txt";
    FILE* f = fopen(file.c_str(), "wb");
    if (f == nullptr || fwrite(data, 1, size, f) != size || fclose(f) != 0) abort();

    std::vector<std::string> first;
    {
        CloudOutbox box;
        if (box.Open(file.c_str(), MaxValues, MaxBytes) != LE_OK) abort();
        if (box.Depth() > MaxValues || box.Bytes() > MaxBytes) abort();
        uint64_t previous = 0;
        for (const cloudOutbox_Entry& e : box.Entries())
        {
            if (e.seq <= previous) abort();   // strictly in order
            previous = e.seq;
        }
        first = Records(box);
        box.Add(false, "sensors/x/data", IO_DATA_TYPE_NUMERIC, 1.5, "2");
        box.Close();
    }
    CloudOutbox again;
    if (again.Open(file.c_str(), MaxValues, MaxBytes) != LE_OK) abort();
    std::vector<std::string> second = Records(again);
    if (second.empty() || second.back().find("sensors/x/data") == std::string::npos) abort();
    second.pop_back();
    // What was kept reads back as it was (less what the new value pushed out of the bounds).
    if (second.size() > first.size() ||
        !std::equal(second.begin(), second.end(), first.end() - static_cast<long>(second.size())))
    {
        abort();
    }
    std::vector<uint64_t> seqs;
    while (cloudOutbox_Entry* e = again.NextToSend()) seqs.push_back(e->seq);
    for (auto it = seqs.rbegin(); it != seqs.rend(); ++it) again.Acked(*it);
    if (again.Depth() != 0 || again.Bytes() != 0 || again.InFlight() != 0) abort();
    return 0;
}

// The Data Hub admin protocol: request lines as a client would send them, against resources of
// every type; each answer is whole lines. Each line is also checked as JSON, and carried as a JSON
// string, which must check.
#include "datahub_admin.h"
#include "fuzz_support.h"
#include "le_event.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace
{
void CreateResources()
{
    io_CreateOutput("settings/number", IO_DATA_TYPE_NUMERIC, "s");
    io_SetNumericDefault("settings/number", 5);
    io_CreateOutput("settings/flag", IO_DATA_TYPE_BOOLEAN, "");
    io_CreateOutput("settings/text", IO_DATA_TYPE_STRING, "");
    io_CreateOutput("settings/json", IO_DATA_TYPE_JSON, "");
    io_CreateOutput("settings/trigger", IO_DATA_TYPE_TRIGGER, "");
    io_CreateInput("sensors/E01020304/data", IO_DATA_TYPE_JSON, "");
    io_PushJson("sensors/E01020304/data", IO_NOW, "{\"a\":1}");
    io_CreateInput("uc_input1/value", IO_DATA_TYPE_NUMERIC, "percent");
}
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static bool created = false;
    fuzz_Setup();
    if (!created)
    {
        CreateResources();
        created = true;
    }
    std::string input(reinterpret_cast<const char*>(data), size);
    size_t start = 0;
    while (start <= input.size())
    {
        size_t nl = input.find('\n', start);
        std::string line = input.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
        std::string answer;
        if (dhub_AnswerRequest(line.c_str(), &answer) && (answer.empty() || answer.back() != '\n')) abort();
        // What unescapes escapes back to text that unescapes the same.
        static std::vector<char> plain(DHUB_TEXT_MAX), escaped(DHUB_TEXT_MAX * 2), again(DHUB_TEXT_MAX);
        if (dhub_Unescape(line.c_str(), plain.data(), plain.size()) &&
            dhub_Escape(plain.data(), escaped.data(), escaped.size()))
        {
            if (strpbrk(escaped.data(), "\t\n\r") != nullptr) abort();
            if (!dhub_Unescape(escaped.data(), again.data(), again.size()) || strcmp(plain.data(), again.data()) != 0)
            {
                abort();
            }
        }
        // A text that checks as JSON, carried as a JSON string, checks as JSON too.
        if (dhub_IsJson(line.c_str()) && !dhub_IsJson(dhub_JsonString(line).c_str())) abort();
        if (!dhub_IsJson(dhub_JsonString(line).c_str())) abort();
        if (nl == std::string::npos) break;
        start = nl + 1;
    }
    le_event_RunUntilIdle();
    return 0;
}

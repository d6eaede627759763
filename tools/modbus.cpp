// modbus: drive the Modbus RTU master of a running veltrona through its le_EModbus service.
#include "le_EModbus_client.h"
#include "le_event.h"
#include "le_log.h"
#include "le_msg.h"
#include "tool_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace
{
void Usage(FILE* out)
{
    fprintf(out,
            "Usage: modbus [--runtime-dir DIR | --service-dir DIR] COMMAND ...\n"
            "Drives the Modbus RTU master (/dev/ttyHS1) of a running veltrona through its le_EModbus service.\n"
            "\n"
            "Commands:\n"
            "  start                  open the port and start the link; prints REQUESTED, since the\n"
            "                         link reports no result (a request is refused while the port\n"
            "                         is closed)\n"
            "  stop                   drop the waiting requests and close the port (REQUESTED)\n"
            "  baud RATE              speed for the next start: 2400, 4800, 9600, 19200, 38400,\n"
            "                         57600, 115200, 230400 or 460800\n"
            "  send HEX               queue one request and print the answers that come back, e.g.\n"
            "                         send '01 03 00 00 00 08'  (read 8 holding registers of slave 1)\n"
            "                         HEX is the request without its CRC (2 to 254 bytes); two bytes\n"
            "                         are added, which the link fills with the CRC of the others.\n"
            "      --count N          answers to wait for (default 1; 0 queues and returns)\n"
            "      --timeout SECONDS  how long to wait (default 5; exit status 3 when it runs out)\n"
            "  read coils|inputs|holding|input-registers SLAVE ADDRESS COUNT\n"
            "                         read COUNT coils (function 1), discrete inputs (2), holding\n"
            "                         registers (3) or input registers (4) of SLAVE from ADDRESS;\n"
            "                         prints ADDRESS<tab>VALUE a line\n"
            "  write coil|register SLAVE ADDRESS VALUE...\n"
            "                         write one coil (function 5) or register (6) of SLAVE, or\n"
            "                         several from ADDRESS (15, 16); prints OK once the slave confirms\n"
            "                         SLAVE is 1 to 247, ADDRESS 0 to 65535, a coil 0 or 1, a register\n"
            "                         0 to 65535; the CRC is the link's; the slave's exception answer\n"
            "                         is printed by name (exit status 1)\n"
            "  listen                 print every answer the link delivers\n"
            "      --count N          stop after N answers\n"
            "      --timeout SECONDS  stop after this long\n"
            "\n"
            "Answers of send and listen are printed one per line in spaced hex, their CRC included.\n"
            "\n"
            "Options:\n"
            "  --runtime-dir DIR      runtime directory of veltrona (default $VELTRONA_RUNTIME_DIR\n"
            "                         or /tmp/veltrona-UID); its services/ holds the sockets\n"
            "  --service-dir DIR      the service socket directory itself\n"
            "  --help                 this text\n"
            "  --version              the program's version\n"
            "\n"
            "Exit status: 0 done, 1 refused by the link, 2 usage or connection error, 3 timed out.\n");
}

const char* ResultName(le_result_t r)
{
    switch (r)
    {
        case LE_OK: return "OK";
        case LE_DUPLICATE: return "DUPLICATE (already the stored speed)";
        case LE_BAD_PARAMETER: return "BAD_PARAMETER";
        case LE_CLOSED: return "CLOSED (veltrona ended the session)";
        case LE_FAULT: return "FAULT (the link is not started)";
        default: return "FAULT";
    }
}

// 0 for OK, 1 for a refusal, 2 or 3 (said) for a call that got no answer.
int ExitCode(le_result_t r)
{
    if (int failed = CallFailure("modbus", "le_EModbus", r)) return failed;
    return r == LE_OK ? 0 : 1;
}

long Wanted = -1;
long Seen = 0;

void OnAnswer(const uint8_t* data, size_t size, void*)
{
    PrintHex(data, size, true);
    printf("\n");
    fflush(stdout);
    if (Wanted > 0 && ++Seen >= Wanted) le_event_StopLoop(nullptr, 0);
}

// A read or write by slave, address and count, as mbpoll offers them: the request built here, the
// answer that is the slave's own to it decoded.
struct Access
{
    uint8_t slave = 0, function = 0;
    uint16_t address = 0, count = 0;
    std::vector<uint16_t> values;   // to write
};
std::vector<uint8_t> Answer;        // the slave's answer to the access, once it came

const char* ExceptionName(uint8_t code)
{
    static const char* const names[] = {"", "illegal function", "illegal data address", "illegal data value",
                                        "slave device failure", "acknowledge", "slave device busy"};
    return code < sizeof(names) / sizeof(names[0]) && code > 0 ? names[code] : "unknown exception";
}

void OnAccessAnswer(const uint8_t* data, size_t size, void* context)
{
    const Access& a = *static_cast<const Access*>(context);
    // Another client's answer, or the board's poll's, is not this one's: the slave, the function
    // and, for a read, the byte count must be the access's.
    if (size < 5 || data[0] != a.slave || (data[1] & 0x7F) != a.function || !Answer.empty()) return;
    const size_t bytes = a.function <= 2 ? (a.count + 7u) / 8u : 2u * a.count;
    if (!(data[1] & 0x80) && a.function <= 4 && data[2] != bytes) return;
    Answer.assign(data, data + size - 2);   // without the CRC, which the link checked
    le_event_StopLoop(nullptr, 0);
}

bool ParseNumber(const std::string& text, long min, long max, long* out)
{
    return ParseCount(text.c_str(), out) && *out >= min && *out <= max;
}

// Builds the access from "read KIND SLAVE ADDRESS COUNT" or "write KIND SLAVE ADDRESS VALUE...";
// false with the reason said.
bool ParseAccess(const std::vector<std::string>& args, Access* a)
{
    const bool read = args[0] == "read";
    const std::string& kind = args[1];
    static const struct { const char* name; bool read; uint8_t one, several; long maxCount; } kinds[] = {
        {"coils", true, 1, 1, 2000}, {"inputs", true, 2, 2, 2000}, {"holding", true, 3, 3, 125},
        {"input-registers", true, 4, 4, 125}, {"coil", false, 5, 15, 1968}, {"register", false, 6, 16, 123}};
    for (const auto& k : kinds)
    {
        if (kind != k.name || k.read != read) continue;
        long slave = 0, address = 0, count = 0;
        if (!ParseNumber(args[2], 1, 247, &slave) || !ParseNumber(args[3], 0, 65535, &address))
        {
            fprintf(stderr, "modbus: SLAVE is 1 to 247 and ADDRESS 0 to 65535\n");
            return false;
        }
        if (read && (args.size() != 5 || !ParseNumber(args[4], 1, k.maxCount, &count)))
        {
            fprintf(stderr, "modbus: COUNT of %s is 1 to %ld\n", k.name, k.maxCount);
            return false;
        }
        if (!read)
        {
            count = static_cast<long>(args.size()) - 4;
            for (size_t i = 4; i < args.size(); i++)
            {
                long v = 0;
                if (!ParseNumber(args[i], 0, k.one == 5 ? 1 : 65535, &v) || count > k.maxCount)
                {
                    fprintf(stderr, "modbus: %s values are %s, at most %ld of them\n", k.name,
                            k.one == 5 ? "0 or 1" : "0 to 65535", k.maxCount);
                    return false;
                }
                a->values.push_back(static_cast<uint16_t>(v));
            }
        }
        if (address + count > 65536)
        {
            fprintf(stderr, "modbus: ADDRESS + COUNT runs past 65535\n");
            return false;
        }
        a->slave = static_cast<uint8_t>(slave);
        a->function = count == 1 || read ? k.one : k.several;
        a->address = static_cast<uint16_t>(address);
        a->count = static_cast<uint16_t>(count);
        return true;
    }
    fprintf(stderr, "modbus: %s takes %s\n", args[0].c_str(),
            read ? "coils, inputs, holding or input-registers" : "coil or register");
    return false;
}

std::vector<uint8_t> Request(const Access& a)
{
    std::vector<uint8_t> r = {a.slave, a.function, static_cast<uint8_t>(a.address >> 8), static_cast<uint8_t>(a.address)};
    auto word = [&r](uint16_t w) { r.insert(r.end(), {static_cast<uint8_t>(w >> 8), static_cast<uint8_t>(w)}); };
    if (a.function == 5) word(a.values[0] ? 0xFF00 : 0x0000);
    else if (a.function == 6) word(a.values[0]);
    else word(a.count);
    if (a.function == 15)
    {
        std::vector<uint8_t> bits((a.count + 7) / 8, 0);
        for (size_t i = 0; i < a.values.size(); i++) bits[i / 8] |= static_cast<uint8_t>(a.values[i] << (i % 8));
        r.push_back(static_cast<uint8_t>(bits.size()));
        r.insert(r.end(), bits.begin(), bits.end());
    }
    if (a.function == 16)
    {
        r.push_back(static_cast<uint8_t>(2 * a.count));
        for (uint16_t v : a.values) word(v);
    }
    r.resize(r.size() + 2, 0);   // the CRC, which the link writes
    return r;
}

// Prints the decoded answer; the exit status.
int Decode(const Access& a)
{
    const std::vector<uint8_t>& d = Answer;
    if (d[1] & 0x80)
    {
        fprintf(stderr, "modbus: slave %u answered exception %u (%s)\n", a.slave, d[2], ExceptionName(d[2]));
        return 1;
    }
    if (a.function >= 5)
    {
        if (d.size() != 6 || (a.function <= 6 && !std::equal(d.begin(), d.end(), Request(a).begin())))
        {
            fprintf(stderr, "modbus: the slave's confirmation does not match the write\n");
            return 1;
        }
        printf("OK\n");
        return 0;
    }
    const bool bits = a.function <= 2;
    const size_t bytes = bits ? (a.count + 7u) / 8u : 2u * a.count;
    if (d.size() != 3 + bytes || d[2] != bytes)
    {
        fprintf(stderr, "modbus: the slave's answer holds %zu bytes, not the %zu asked for\n",
                d.size() < 3 ? 0 : d.size() - 3, bytes);
        return 1;
    }
    for (unsigned i = 0; i < a.count; i++)
    {
        unsigned v = bits ? (d[3 + i / 8] >> (i % 8)) & 1u : (d[3 + 2 * i] << 8) | d[4 + 2 * i];
        printf("%u\t%u\n", a.address + i, v);
    }
    return 0;
}
}

int main(int argc, char** argv)
{
    le_log_SetGlobalFilterLevel(LE_LOG_WARN);
    ToolOptions options;
    int exitCode = 0;
    if (!ParseToolOptions("modbus", argc, argv, Usage, &options, &exitCode)) return exitCode;
    const std::string serviceDir = options.serviceDir;
    double timeout = options.timeout;
    Wanted = options.count;
    const std::vector<std::string>& args = options.args;
    const std::string command = args.empty() ? "" : args[0];
    size_t operands = command == "baud" || command == "send" ? 2 : 1;
    bool access = command == "read" || command == "write";
    bool known = command == "start" || command == "stop" || command == "baud" || command == "send" ||
                 command == "listen" || access;
    if (!known || (access ? args.size() < 5 : args.size() != operands)) return UsageError("modbus", args, known, Usage);
    Access a;
    if (access && !ParseAccess(args, &a)) return 2;

    uint32_t baud = 0;
    std::vector<uint8_t> request;
    if (command == "baud")
    {
        long rate = 0;
        if (!ParseCount(args[1].c_str(), &rate) || rate > UINT32_MAX)
        {
            fprintf(stderr, "modbus: RATE is a number of baud, not '%s'\n", args[1].c_str());
            return 2;
        }
        baud = static_cast<uint32_t>(rate);
    }
    if (command == "send")
    {
        if (!ParseHex(args[1], &request) || request.size() < 2 || request.size() > 254)
        {
            fprintf(stderr, "modbus: HEX is 2 to 254 bytes in hex (the request without its CRC), e.g. "
                            "'01 03 00 00 00 08'\n");
            return 2;
        }
        request.resize(request.size() + 2, 0);   // room for the CRC
    }

    if (!UseServiceDirectory("modbus", serviceDir)) return 2;
    int unreachable = ConnectTool("modbus", "le_EModbus", le_EModbus_TryConnectService, timeout);
    if (unreachable != 0) return unreachable;
    le_EModbus_SetDisconnectHandler(StopOnServiceGone, nullptr);

    int code = 0;
    if (access)
    {
        // Registered first, so the answer cannot come back before anyone listens.
        std::vector<uint8_t> request = Request(a);
        bool listening = le_EModbus_AddOnReceiveHandler(OnAccessAnswer, &a) != nullptr;
        le_result_t r = listening ? le_EModbus_SendRequest(request.data(), request.size()) : LE_FAULT;
        if (r != LE_OK)
        {
            code = ExitCode(r);
            if (code == 1) fprintf(stderr, "modbus: request refused: %s\n", ResultName(r));
        }
        else
        {
            double limit = timeout < 0 ? 5 : timeout;
            code = ServeLoopFor(limit, true);
            if (code == 3) fprintf(stderr, "modbus: slave %u did not answer within %g s\n", a.slave, limit);
            else if (!ServiceGone) code = Decode(a);
        }
    }
    else if (command == "start" || command == "stop")
    {
        le_result_t r = command == "start" ? le_EModbus_Start() : le_EModbus_Stop();
        // The link answers neither with a result: whether the port opened shows in the next request
        // (refused while it is closed) and in veltrona's log.
        code = ExitCode(r);
        if (code <= 1) printf("%s\n", r == LE_OK ? "REQUESTED" : ResultName(r));
    }
    else if (command == "baud")
    {
        le_result_t r = le_EModbus_SetBaudRate(baud);
        code = ExitCode(r);
        if (code <= 1) printf("%s\n", ResultName(r));
        if (r == LE_BAD_PARAMETER)
        {
            fprintf(stderr, "modbus: %u is not a rate the link takes: 2400, 4800, 9600, 19200, 38400, 57600, 115200, "
                            "230400 or 460800\n", baud);
        }
    }
    else if (command == "send")
    {
        if (Wanted < 0) Wanted = 1;
        if (timeout < 0) timeout = 5;
        // Registered first, so an answer cannot come back before anyone listens.
        bool listening = Wanted == 0 || le_EModbus_AddOnReceiveHandler(OnAnswer, nullptr) != nullptr;
        le_result_t r = listening ? le_EModbus_SendRequest(request.data(), request.size()) : LE_FAULT;
        if (r != LE_OK)
        {
            code = ExitCode(r);
            if (code == 1) fprintf(stderr, "modbus: request refused: %s\n", ResultName(r));
        }
        else if (Wanted > 0)
        {
            code = ServeLoopFor(timeout, true);
            if (code == 3) fprintf(stderr, "modbus: %ld of %ld answers within %g s\n", Seen, Wanted, timeout);
        }
    }
    else
    {
        if (le_EModbus_AddOnReceiveHandler(OnAnswer, nullptr) == nullptr)
        {
            fprintf(stderr, "modbus: the link did not take the receive handler (is it started?)\n");
            code = 1;
        }
        else
        {
            code = ServeLoopFor(timeout, Wanted > 0);   // without a count, listening for a while is all
        }
    }
    if (ServiceGone)
    {
        fprintf(stderr, "modbus: le_EModbus went away (veltrona ended?)\n");
        return 2;
    }
    le_EModbus_DisconnectService();
    return code;
}

// modbus: drive the Modbus RTU master of a running veltrona through its le_EModbus service.
#include "le_EModbus_client.h"
#include "le_event.h"
#include "le_log.h"
#include "le_msg.h"
#include "tool_support.h"

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
            "  listen                 print every answer the link delivers\n"
            "      --count N          stop after N answers\n"
            "      --timeout SECONDS  stop after this long\n"
            "\n"
            "Answers are printed one per line in hex, their CRC included.\n"
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

int ExitCode(le_result_t r)
{
    if (r == LE_OK) return 0;
    return r == LE_CLOSED ? 2 : 1;
}

long Wanted = -1;
long Seen = 0;

void OnAnswer(const uint8_t* data, size_t size, void*)
{
    PrintHex(data, size);
    printf("\n");
    fflush(stdout);
    if (Wanted > 0 && ++Seen >= Wanted) le_event_StopLoop(nullptr, 0);
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
    bool known = command == "start" || command == "stop" || command == "baud" || command == "send" ||
                 command == "listen";
    if (!known || args.size() != operands) return UsageError("modbus", args, known, Usage);

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
    if (command == "start" || command == "stop")
    {
        le_result_t r = command == "start" ? le_EModbus_Start() : le_EModbus_Stop();
        // The link answers neither with a result: whether the port opened shows in the next request
        // (refused while it is closed) and in veltrona's log.
        if (r == LE_OK) printf("REQUESTED\n");
        else printf("%s\n", ResultName(r));
        code = ExitCode(r);
    }
    else if (command == "baud")
    {
        le_result_t r = le_EModbus_SetBaudRate(baud);
        printf("%s\n", ResultName(r));
        if (r == LE_BAD_PARAMETER)
        {
            fprintf(stderr, "modbus: %u is not a rate the link takes: 2400, 4800, 9600, 19200, 38400, 57600, 115200, "
                            "230400 or 460800\n", baud);
        }
        code = ExitCode(r);
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
            fprintf(stderr, "modbus: request refused: %s\n", ResultName(r));
            code = ExitCode(r);
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

// enocean: send raw ESP3 frames through a running gateway and listen to what its transceiver says.
#include "le_EnOcean_client.h"
#include "le_clock.h"
#include "le_event.h"
#include "le_log.h"
#include "le_msg.h"
#include "pa_path.h"
#include "tool_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace
{
void Usage(FILE* out)
{
    fprintf(out,
            "Usage: enocean [--runtime-dir DIR | --service-dir DIR] COMMAND ...\n"
            "Talks to the EnOcean transceiver of a running veltrona through its le_EnOcean service.\n"
            "\n"
            "Commands:\n"
            "  send TYPE DATA [OPTIONAL]  queue one ESP3 frame: packet type and bytes in hex, e.g.\n"
            "                             send 05 '17 01 00 00 00 00' 00   (switch learn mode on)\n"
            "  listen                     print every frame as: TYPE<TAB>PAYLOAD (hex, one line each)\n"
            "      --count N              stop after N frames\n"
            "      --timeout SECONDS      stop after this long (exit status 3 if --count was not reached)\n"
            "\n"
            "Options:\n"
            "  --runtime-dir DIR          runtime directory of the gateway (default $VELTRONA_RUNTIME_DIR\n"
            "                             or /tmp/veltrona-UID); its services/ holds the sockets\n"
            "  --service-dir DIR          the service socket directory itself\n"
            "  --help                     this text\n"
            "  --version                  the program's version\n"
            "\n"
            "Exit status: 0 done, 1 refused by the gateway, 2 usage or connection error, 3 timed out.\n");
}

const char* ResultName(le_result_t r)
{
    switch (r)
    {
        case LE_OK: return "OK";
        case LE_BUSY: return "BUSY (512 frames wait)";
        case LE_BAD_PARAMETER: return "BAD_PARAMETER (the frame does not fit)";
        case LE_CLOSED: return "CLOSED (the gateway ended the session)";
        default: return "FAULT";
    }
}

long Wanted = -1;
long Seen = 0;

void OnFrame(uint8_t packetType, const uint8_t* data, size_t size, const char*, const char*, const char*, bool,
             void*)
{
    printf("%02x\t", packetType);
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
    if (!ParseToolOptions("enocean", argc, argv, Usage, &options, &exitCode)) return exitCode;
    const std::string serviceDir = options.serviceDir;
    double timeout = options.timeout;
    Wanted = options.count;
    const std::vector<std::string>& args = options.args;
    if (args.empty() || (args[0] == "send" && (args.size() < 3 || args.size() > 4)) ||
        (args[0] == "listen" && args.size() != 1) || (args[0] != "send" && args[0] != "listen"))
    {
        return UsageError("enocean", args, !args.empty() && (args[0] == "send" || args[0] == "listen"), Usage);
    }
    if (!UseServiceDirectory("enocean", serviceDir)) return 2;
    int unreachable = ConnectTool("enocean", "le_EnOcean", le_EnOcean_TryConnectService, timeout);
    if (unreachable != 0) return unreachable;

    if (args[0] == "send")
    {
        std::vector<uint8_t> type, data, opt;
        if (!ParseHex(args[1], &type) || type.size() != 1 || !ParseHex(args[2], &data) ||
            (args.size() == 4 && !ParseHex(args[3], &opt)))
        {
            fprintf(stderr, "enocean: TYPE is one hex byte, DATA and OPTIONAL are hex bytes\n");
            return 2;
        }
        le_result_t r = le_EnOcean_SendData(type[0], data.data(), data.size(), opt.data(), opt.size());
        if (int failed = CallFailure("enocean", "le_EnOcean", r)) return failed;
        printf("%s\n", ResultName(r));
        le_EnOcean_DisconnectService();
        return r == LE_OK ? 0 : 1;
    }

    if (le_EnOcean_AddOnReceiveHandler(OnFrame, nullptr) == nullptr)
    {
        fprintf(stderr, "enocean: the gateway did not take the receive handler\n");
        return 2;
    }
    le_EnOcean_SetDisconnectHandler(StopOnServiceGone, nullptr);
    int code = ServeLoopFor(timeout, Wanted >= 0);   // without a count, listening for a while is all
    if (ServiceGone)
    {
        fprintf(stderr, "enocean: le_EnOcean went away (veltrona ended?)\n");
        return 2;
    }
    le_EnOcean_DisconnectService();
    return code;
}

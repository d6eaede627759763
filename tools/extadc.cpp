// extadc: reads and configures the converters of a running veltrona through le_ExtAdc (the base
// board's converter) or le_ExtAdcAddON (the add-on board's, with --addon).
#include "le_ExtAdc_client.h"
#include "le_ExtAdc_interface.h"
#include "le_event.h"
#include "le_log.h"
#include "le_msg.h"
#include "tool_support.h"

#include <cerrno>
#include <cmath>
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
            "Usage: extadc [--addon] [--runtime-dir DIR | --service-dir DIR] COMMAND ...\n"
            "Reads and configures a converter of a running veltrona: the base board's (le_ExtAdc) or,\n"
            "with --addon, the add-on board's (le_ExtAdcAddON, channels 1 and 2).\n"
            "\n"
            "Commands:\n"
            "  get CHANNEL                 measure channel 1 to 4 (1 or 2 with --addon); prints\n"
            "                              RESULT<TAB>RAW<TAB>PERCENT<TAB>VALUE, RESULT one of OK, OVERFLOW,\n"
            "                              UNDERFLOW, IO_ERROR (too few conversions read: the chip or its\n"
            "                              bus does not answer), UNAVAILABLE; exit status 1 unless OK\n"
            "  address PINS                chip address: 0 68h, 1 6Ch, 2 6Ah, 3 6Eh\n"
            "  gain MASK GAIN              gain code 0 to 3 (x1, x2, x4, x8) of the channels in MASK\n"
            "  speed SPEED                 1: 16 bits (15 samples/s); 0: 12 bits (240 samples/s)\n"
            "  bus PATH                    the I2C bus device (at most 200 characters)\n"
            "  interval MS                 the looper's wait between two passes, in milliseconds\n"
            "  range MASK MIN MAX          the converted values at 0 %% and 100 %%\n"
            "  interface MASK TYPE         1: live-zero input (4-20 mA style); other: zero-based\n"
            "  edges MASK LOW HIGH HYST    alert edges and hysteresis (of the converted value)\n"
            "  measure                     ask the looper for a pass now\n"
            "  watch MASK                  print each value of the channels in MASK as the looper\n"
            "                              measures them: CHANNEL<TAB>RAW<TAB>PERCENT<TAB>VALUE\n"
            "      --alerts                print the alerts instead: CHANNEL<TAB>EDGE<TAB>RAW<TAB>PERCENT<TAB>VALUE,\n"
            "                              EDGE one of NORMAL, LOW, HIGH\n"
            "      --count N               stop after N lines (exit status 3 if they do not come in time)\n"
            "      --timeout SECONDS       stop after this long\n"
            "\n"
            "MASK is the sum of the channel bits: 1 channel 1, 2 channel 2, 4 channel 3, 8 channel 4.\n"
            "Setters print the result (OK, BAD_PARAMETER, ...).\n"
            "\n"
            "Options:\n"
            "  --addon                     the add-on board's converter\n"
            "  --runtime-dir DIR           runtime directory of veltrona (default $VELTRONA_RUNTIME_DIR\n"
            "                              or /tmp/veltrona-UID); its services/ holds the sockets\n"
            "  --service-dir DIR           the service socket directory itself\n"
            "  --help                      this text\n"
            "  --version                   the program's version\n"
            "\n"
            "Exit status: 0 done, 1 refused (for get: any result but OK), 2 usage or\n"
            "connection error (also when the service goes away), 3 timed out.\n");
}

// The calls of the chosen service.
struct Service
{
    const char* name;
    le_result_t (*tryConnect)(void);
    void (*disconnect)(void);
    void (*onDisconnect)(void (*)(void*), void*);
    le_result_t (*setDeviceAddress)(uint32_t);
    le_result_t (*setGain)(uint32_t, uint32_t);
    le_result_t (*setConversionSpeed)(uint32_t);
    le_result_t (*setFileDescriptor)(const char*);
    le_result_t (*getValue)(uint32_t, uint16_t*, double*, double*);
    le_result_t (*setInterval)(uint32_t);
    le_result_t (*measureNow)(void);
    le_result_t (*setConverter)(uint32_t, double, double);
    le_result_t (*setInterface)(uint32_t, uint32_t);
    le_result_t (*setEdges)(uint32_t, double, double, double);
    le_ExtAdc_HandlerRef_t (*addValue)(uint32_t, le_ExtAdc_ValueHandlerFunc_t, void*);
    le_ExtAdc_HandlerRef_t (*addAlert)(uint32_t, le_ExtAdc_AlertHandlerFunc_t, void*);
};

#define EXTADC_SERVICE(P)                                                                                  \
    {                                                                                                      \
        #P, P##_TryConnectService, P##_DisconnectService, P##_SetDisconnectHandler, P##_SetDeviceAddress,  \
            P##_SetGain, P##_SetConversionSpeed, P##_SetFileDescriptor, P##_GetValue, P##_SetInterval,      \
            P##_MeasureNow, P##_SetConverter, P##_SetInterface, P##_SetEdges, P##_AddOnValueHandler,         \
            P##_AddOnAlertHandler                                                                          \
    }

const Service Services[2] = {EXTADC_SERVICE(le_ExtAdc), EXTADC_SERVICE(le_ExtAdcAddON)};

const char* ResultName(le_result_t r)
{
    switch (r)
    {
        case LE_OK: return "OK";
        case LE_OVERFLOW: return "OVERFLOW";
        case LE_UNDERFLOW: return "UNDERFLOW";
        case LE_BAD_PARAMETER: return "BAD_PARAMETER";
        case LE_UNAVAILABLE: return "UNAVAILABLE";
        case LE_IO_ERROR: return "IO_ERROR";
        case LE_CLOSED: return "CLOSED";
        default: return "FAULT";
    }
}

const char* EdgeName(uint32_t edge)
{
    return edge == LE_EXTADC_EDGE_LOW ? "LOW" : edge == LE_EXTADC_EDGE_HIGH ? "HIGH" : "NORMAL";
}

// Channel bit to channel number (1 to 4).
int ChannelNumber(uint32_t bit)
{
    for (int n = 1; n <= 4; n++)
    {
        if (bit == (1u << (n - 1))) return n;
    }
    return 0;
}

bool ParseUnsigned(const std::string& text, uint32_t* out)
{
    long v = 0;
    if (!ParseCount(text.c_str(), &v) || v > 0xFFFFFFFFL) return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

bool ParseNumber(const std::string& text, double* out)
{
    char* end = nullptr;
    errno = 0;
    double v = strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno != 0 || !std::isfinite(v)) return false;
    *out = v;
    return true;
}

long Wanted = -1;
long Seen = 0;

void Printed()
{
    fflush(stdout);
    if (Wanted > 0 && ++Seen >= Wanted) le_event_StopLoop(nullptr, 0);
}

void OnValue(uint32_t sensor, uint16_t raw, double percentage, double value, void*)
{
    printf("%d\t%u\t%.10g\t%.10g\n", ChannelNumber(sensor), raw, percentage, value);
    Printed();
}

void OnAlert(uint32_t sensor, uint32_t edge, uint16_t raw, double percentage, double value, void*)
{
    printf("%d\t%s\t%u\t%.10g\t%.10g\n", ChannelNumber(sensor), EdgeName(edge), raw, percentage, value);
    Printed();
}

// A setter's answer: its result on a line; 0 for OK, 1 refused, 2 when the service did not answer.
int Report(le_result_t r)
{
    if (int failed = CallFailure("extadc", "the service", r)) return failed;
    if (r == LE_FAULT)
    {
        fprintf(stderr, "extadc: the service did not answer (%s)\n", ResultName(r));
        return 2;
    }
    printf("%s\n", ResultName(r));
    return r == LE_OK ? 0 : 1;
}

struct Command
{
    const char* name;
    size_t operands;
};
const Command Commands[] = {{"get", 1},       {"address", 1},   {"gain", 2},  {"speed", 1},
                            {"bus", 1},       {"interval", 1},  {"range", 3}, {"interface", 2},
                            {"edges", 4},     {"measure", 0},   {"watch", 1}};
}

int main(int argc, char** argv)
{
    le_log_SetGlobalFilterLevel(LE_LOG_WARN);
    // --addon and --alerts are this tool's own; the rest are the shared options.
    bool addon = false;
    bool alerts = false;
    std::vector<char*> rest;
    for (int i = 0; i < argc; i++)
    {
        if (i > 0 && strcmp(argv[i], "--addon") == 0) addon = true;
        else if (i > 0 && strcmp(argv[i], "--alerts") == 0) alerts = true;
        else rest.push_back(argv[i]);
    }
    ToolOptions options;
    int exitCode = 0;
    if (!ParseToolOptions("extadc", static_cast<int>(rest.size()), rest.data(), Usage, &options, &exitCode))
        return exitCode;
    const std::vector<std::string>& args = options.args;
    const std::string command = args.empty() ? "" : args[0];
    bool known = false;
    bool operandsFit = false;
    for (const Command& c : Commands)
    {
        known = known || command == c.name;
        operandsFit = operandsFit || (command == c.name && args.size() == c.operands + 1);
    }
    if (!operandsFit) return UsageError("extadc", args, known, Usage);
    if (alerts && command != "watch")
    {
        fprintf(stderr, "extadc: --alerts goes with watch\n");
        return 2;
    }

    // Operands, checked before anything is sent.
    uint32_t u[2] = {0, 0};
    double d[3] = {0, 0, 0};
    bool ok = true;
    if (command == "get")
    {
        uint32_t n = 0;
        const uint32_t channels = addon ? 2 : 4;
        if (!ParseUnsigned(args[1], &n) || n < 1 || n > channels)
        {
            fprintf(stderr, "extadc: CHANNEL is 1 to %u%s, not '%s'\n", channels, addon ? " on the add-on converter" : "",
                    args[1].c_str());
            return 2;
        }
        u[0] = 1u << (n - 1);
    }
    else if (command == "address" || command == "speed" || command == "interval" || command == "watch")
        ok = ParseUnsigned(args[1], &u[0]);
    else if (command == "gain" || command == "interface")
        ok = ParseUnsigned(args[1], &u[0]) && ParseUnsigned(args[2], &u[1]);
    else if (command == "range")
        ok = ParseUnsigned(args[1], &u[0]) && ParseNumber(args[2], &d[0]) && ParseNumber(args[3], &d[1]);
    else if (command == "edges")
        ok = ParseUnsigned(args[1], &u[0]) && ParseNumber(args[2], &d[0]) && ParseNumber(args[3], &d[1]) &&
             ParseNumber(args[4], &d[2]);
    if (command == "bus" && args[1].size() > LE_EXTADC_PATH_MAX)
    {
        fprintf(stderr, "extadc: PATH is at most %d characters\n", LE_EXTADC_PATH_MAX);
        return 2;
    }
    if (!ok)
    {
        fprintf(stderr, "extadc: bad operand for '%s' (see extadc --help)\n", command.c_str());
        return 2;
    }

    const Service& s = Services[addon ? 1 : 0];
    if (!UseServiceDirectory("extadc", options.serviceDir)) return 2;
    int unreachable = ConnectTool("extadc", s.name, s.tryConnect, options.timeout);
    if (unreachable != 0) return unreachable;
    s.onDisconnect(StopOnServiceGone, nullptr);

    int code = 0;
    if (command == "get")
    {
        uint16_t raw = 0;
        double percentage = 0;
        double value = 0;
        le_result_t r = s.getValue(u[0], &raw, &percentage, &value);
        if (int failed = CallFailure("extadc", s.name, r))
        {
            code = failed;
        }
        else if (r == LE_FAULT)
        {
            fprintf(stderr, "extadc: the service did not answer (%s)\n", ResultName(r));
            code = 2;
        }
        else
        {
            printf("%s\t%u\t%.10g\t%.10g\n", ResultName(r), raw, percentage, value);
            if (r == LE_IO_ERROR)
                fprintf(stderr, "extadc: channel %s was not measured: the converter or its bus does not answer\n",
                        args[1].c_str());
            code = r == LE_OK ? 0 : 1;
        }
    }
    else if (command == "address") code = Report(s.setDeviceAddress(u[0]));
    else if (command == "gain") code = Report(s.setGain(u[0], u[1]));
    else if (command == "speed") code = Report(s.setConversionSpeed(u[0]));
    else if (command == "bus") code = Report(s.setFileDescriptor(args[1].c_str()));
    else if (command == "interval") code = Report(s.setInterval(u[0]));
    else if (command == "range") code = Report(s.setConverter(u[0], d[0], d[1]));
    else if (command == "interface") code = Report(s.setInterface(u[0], u[1]));
    else if (command == "edges") code = Report(s.setEdges(u[0], d[0], d[1], d[2]));
    else if (command == "measure") code = Report(s.measureNow());
    else
    {
        Wanted = options.count;
        le_ExtAdc_HandlerRef_t ref = alerts ? s.addAlert(u[0], OnAlert, nullptr) : s.addValue(u[0], OnValue, nullptr);
        if (ref == nullptr)
        {
            fprintf(stderr, "extadc: %s did not take the handler (is the converter on this board started?)\n", s.name);
            code = ServiceGone ? 2 : 1;
        }
        else
        {
            code = ServeLoopFor(options.timeout, Wanted > 0);
            if (ServiceGone)
            {
                fprintf(stderr, "extadc: %s went away\n", s.name);
                code = 2;
            }
        }
    }
    if (!ServiceGone) s.disconnect();
    return code;
}

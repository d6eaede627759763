// veltrona: runs the component on the simulated board (the default) or on real devices.
#include "VeltronaComponent.h"
#include "cloud_identity.h"
#include "cloud_link.h"
#include "datahub_admin.h"
#include "le_appCtrl.h"
#include "le_clock.h"
#include "le_event.h"
#include "le_log.h"
#include "le_msg.h"
#include "le_thread.h"
#include "pa_i2c.h"
#include "pa_notify.h"
#include "pa_path.h"
#include "pa_text.h"
#include "sim_board.h"
#include "sim_control.h"
#include "sim_esp3.h"
#include "sim_modbus.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{
const size_t LogFileBytes = 4u << 20;   // a log file's bound: two of them at most
volatile sig_atomic_t Interrupts = 0;
volatile sig_atomic_t LastSignal = 0;

void OnSignal(int sig)
{
    Interrupts = Interrupts + 1;
    LastSignal = sig;
    if (Interrupts > 1) _exit(130);   // a second Ctrl-C does not wait for a blocking start-up step
    le_event_StopLoop(le_thread_GetMain(), 130);
}

void ReportBoardMode(void*, void*)
{
    static const char* const names[] = {"no known board", "add-on boards only", "universal converter",
                                        "EnOcean gateway"};
    const char* name = BoardType < 4 ? names[BoardType] : "?";
    cloud_SetModel(std::string("Veltrona ") + name);
    fprintf(stderr, "veltrona: board mode %u (%s)%s\n", BoardType, name,
            BoardType == BOARD_NONE ? "" : ", running; Ctrl-C ends");
    // The start-up is over: a service manager may count the program as started.
    std::string status = std::string("READY=1\nSTATUS=board mode ") + std::to_string(BoardType) + " (" + name + ")";
    pa_notify_Send(status.c_str());
}

// Why no known board was found, as far as the identification EEPROM's bus tells.
std::string WhyNoBoard()
{
    const char* const bus = "/dev/i2c-5";
    int fd = pa_i2c_Open(bus, O_RDWR);
    if (fd < 0) return std::string("no I2C bus at ") + bus + " (" + strerror(errno) + ")";
    uint8_t address[2] = {0x00, 0x04};
    char blocks[2][33] = {};
    bool answered = pa_i2c_Ioctl(fd, PA_I2C_SLAVE_FORCE, 0x52) >= 0 && pa_i2c_Write(fd, address, 2) == 2 &&
                    pa_i2c_Read(fd, blocks[0], 32) == 32;
    address[1] = 0x24;
    answered = answered && pa_i2c_Write(fd, address, 2) == 2 && pa_i2c_Read(fd, blocks[1], 32) == 32;
    pa_i2c_Close(fd);
    if (!answered) return std::string("no identification EEPROM answers at 0x52 on ") + bus;
    // Each block as text: erased, or its printable characters.
    auto describe = [](const char* block) {
        bool erased = true;
        std::string text;
        for (size_t i = 0; i < 32; i++)
        {
            unsigned char c = static_cast<unsigned char>(block[i]);
            erased = erased && c == 0xFF;
            if (c == '\0') break;
            text += (c < 0x20 || c > 0x7E) ? '?' : static_cast<char>(c);
        }
        return erased ? std::string("erased") : "'" + text + "'";
    };
    return "the identification EEPROM holds no known board (signature " + describe(blocks[0]) + ", name " +
           describe(blocks[1]) + ")";
}

void Usage(FILE* out)
{
    fprintf(out,
            "Usage: veltrona [options]\n"
            "Runs the Veltrona gateway component. By default the board is simulated; --real uses\n"
            "the machine's devices.\n"
            "\n"
            "  --scenario NAME       simulated board preset: %s (default gateway)\n"
            "  --scenario-file PATH  simulated board from a scenario file (see sim/SCENARIOS.md)\n"
            "  --set KEY=VALUE       change one scenario setting (repeatable)\n"
            "  --real                no simulated board: device paths are used as they are\n"
            "  --device PATH=DEVICE  use DEVICE for the module path PATH, e.g.\n"
            "                        --device /dev/i2c-5=/dev/i2c-1 (repeatable; a mapped I2C bus\n"
            "                        is the real one even with a simulated board)\n"
            "  --runtime-dir DIR     sockets and state (default $VELTRONA_RUNTIME_DIR or /tmp/veltrona-UID)\n"
            "  --clock MODE          real (default), skip (sleeps return at once) or virtual\n"
            "  --log-level LEVEL     what is logged: debug, info (default), warning, error, crit\n"
            "  --log-file PATH       the complete log (default <runtime dir>/veltrona.log; none: no file).\n"
            "                        Past 4 MiB it moves to PATH.1 and a new file starts: at most 8 MiB\n"
            "  --console-level LEVEL what of the log the console shows too (default warning)\n"
            "\n"
            "Cloud link (the Data Hub over MQTT; off without --mqtt):\n"
            "  --mqtt URL            broker: mqtt://HOST[:PORT] (1883) or mqtts://HOST[:PORT] (8883, TLS)\n"
            "  --mqtt-prefix TOPIC   topic prefix (default veltrona/<identity>)\n"
            "  --mqtt-client-id ID   client id (default veltrona-<identity>); the identity is made once\n"
            "                        and kept in <runtime dir>/gateway-id.txt\n"
            "  --mqtt-user NAME      user name\n"
            "  --mqtt-password-file PATH  the password, on the file's first line\n"
            "  --mqtt-ca-file PATH   CA certificates that a TLS broker's certificate must chain to\n"
            "                        (default: the system's, /etc/ssl/certs)\n"
            "  --mqtt-payload plain|json  values as they are, with the time and type in MQTT 5 user\n"
            "                        properties (plain, the default), or as {\"value\":..,\"timestamp\":..,\"type\":..}\n"
            "  --mqtt-protocol 5|3.1.1  the MQTT version (default 5); with 3.1.1 the time rides only in\n"
            "                        the JSON payload\n"
            "  --mqtt-discovery      Home Assistant MQTT discovery of the gateway, its sensors and\n"
            "                        every resource, under homeassistant/\n"
            "  --mqtt-discovery-prefix P  the same under another discovery prefix\n"
            "  --mqtt-keepalive S    keepalive in seconds (default 60)\n"
            "  --mqtt-outbox-values N  values kept while the broker is away (default 100000)\n"
            "  --mqtt-outbox-bytes N   bytes kept while the broker is away (default 16777216)\n"
            "\n"
            "  --help                this text\n"
            "  --version             the program's version\n"
            "\n"
            "The Data Hub is reachable with: dhub --runtime-dir DIR list\n"
            "Ctrl-C ends the program.\n",
            simBoard_PresetNames());
}

bool SplitMapping(const char* arg, std::string* from, std::string* to)
{
    const char* eq = strchr(arg, '=');
    if (eq == nullptr || eq == arg || eq[1] == '\0') return false;
    from->assign(arg, static_cast<size_t>(eq - arg));
    to->assign(eq + 1);
    return true;
}

int Fail(const char* message)
{
    fprintf(stderr, "veltrona: %s\n", message);
    return 2;
}
}

int main(int argc, char** argv)
{
    std::string scenario = "gateway";
    std::string scenarioFile;
    std::vector<std::string> settings;
    std::vector<std::pair<std::string, std::string>> devices;
    bool real = false;
    std::string simulationOption;   // one that only the simulated board takes, if given
    char runtimeDir[PA_PATH_MAX];
    if (!pa_path_DefaultRuntimeDir(runtimeDir, sizeof(runtimeDir))) return Fail("runtime directory path too long");
    le_clk_Mode_t clockMode = LE_CLK_REAL;
    le_log_Level_t logLevel = LE_LOG_INFO;
    le_log_Level_t consoleLevel = LE_LOG_WARN;
    bool consoleLevelGiven = false;
    std::string logFile;
    cloud_Config_t cloud;
    bool mqttOptionGiven = false;   // one that only a link can use, beside the ones above

    for (int i = 1; i < argc; i++)
    {
        std::string a = argv[i];
        auto value = [&](const char* name) -> const char* {
            if (i + 1 >= argc)
            {
                fprintf(stderr, "veltrona: %s needs a value\n", name);
                exit(2);
            }
            return argv[++i];
        };
        if (a == "--help" || a == "-h")
        {
            Usage(stdout);
            return 0;
        }
        else if (a == "--version")
        {
            printf("veltrona %s\n", VELTRONA_VERSION);
            return 0;
        }
        else if (a == "--scenario") scenario = value("--scenario"), simulationOption = a;
        else if (a == "--scenario-file") scenarioFile = value("--scenario-file"), simulationOption = a;
        else if (a == "--set") settings.emplace_back(value("--set")), simulationOption = a;
        else if (a == "--real") real = true;
        else if (a == "--device")
        {
            std::string from, to;
            if (!SplitMapping(value("--device"), &from, &to)) return Fail("--device takes PATH=DEVICE");
            devices.emplace_back(from, to);
        }
        else if (a == "--runtime-dir")
        {
            if (snprintf(runtimeDir, sizeof(runtimeDir), "%s", value("--runtime-dir")) >= static_cast<int>(sizeof(runtimeDir)))
                return Fail("runtime directory path too long");
        }
        else if (a == "--clock")
        {
            std::string m = value("--clock");
            if (m == "real") clockMode = LE_CLK_REAL;
            else if (m == "skip") clockMode = LE_CLK_SKIP;
            else if (m == "virtual") clockMode = LE_CLK_VIRTUAL;
            else return Fail("--clock takes real, skip or virtual");
        }
        else if (a == "--log-file") logFile = value("--log-file");
        else if (a == "--mqtt") cloud.url = value("--mqtt");
        else if (a == "--mqtt-prefix") cloud.prefix = value("--mqtt-prefix");
        else if (a == "--mqtt-client-id") cloud.clientId = value("--mqtt-client-id");
        else if (a == "--mqtt-user") cloud.user = value("--mqtt-user");
        else if (a == "--mqtt-password-file") cloud.passwordFile = value("--mqtt-password-file");
        else if (a == "--mqtt-ca-file") cloud.caFile = value("--mqtt-ca-file");
        else if (a == "--mqtt-discovery")
        {
            if (cloud.discoveryPrefix.empty()) cloud.discoveryPrefix = "homeassistant";
            mqttOptionGiven = true;
        }
        else if (a == "--mqtt-discovery-prefix")
        {
            cloud.discoveryPrefix = value("--mqtt-discovery-prefix");
            if (cloud.discoveryPrefix.empty()) return Fail("--mqtt-discovery-prefix takes a topic prefix");
            mqttOptionGiven = true;
        }
        else if (a == "--mqtt-payload" || a == "--mqtt-protocol")
        {
            std::string v = value(a.c_str());
            if (a == "--mqtt-payload" && (v == "plain" || v == "json")) cloud.jsonPayload = v == "json";
            else if (a == "--mqtt-protocol" && (v == "5" || v == "3.1.1")) cloud.mqtt311 = v == "3.1.1";
            else return Fail((a + (a == "--mqtt-payload" ? " takes plain or json" : " takes 5 or 3.1.1") + ", not '" + v + "'").c_str());
            mqttOptionGiven = true;
        }
        else if (a == "--mqtt-keepalive" || a == "--mqtt-outbox-values" || a == "--mqtt-outbox-bytes")
        {
            const char* text = value(a.c_str());
            uint64_t n = 0;
            if (!pa_text_ParseUnsigned(text, &n) || n > (1ull << 40))
                return Fail((a + " takes a whole number, not '" + text + "'").c_str());
            if (a == "--mqtt-keepalive") cloud.keepaliveSeconds = n > 65535 ? 0 : static_cast<int>(n);
            else if (a == "--mqtt-outbox-values") cloud.outboxMaxValues = static_cast<size_t>(n);
            else cloud.outboxMaxBytes = static_cast<size_t>(n);
        }
        else if (a == "--console-level")
        {
            if (!le_log_ParseLevel(value("--console-level"), &consoleLevel)) return Fail("unknown console level");
            consoleLevelGiven = true;
        }
        else if (a == "--log-level")
        {
            if (!le_log_ParseLevel(value("--log-level"), &logLevel)) return Fail("unknown log level");
        }
        else
        {
            fprintf(stderr, "veltrona: unknown option '%s'\n", a.c_str());
            Usage(stderr);
            return 2;
        }
    }

    if (real && !simulationOption.empty())
    {
        return Fail(("--real runs on the module's own devices; " + simulationOption + " is for the simulated board").c_str());
    }
    if (!cloud.url.empty())
    {
        std::string why;
        if (cloud_CheckConfig(cloud, &why) != LE_OK) return Fail(("cloud link: " + why).c_str());
        // A broker lives in real time: on the virtual clock its waits would pass in no time.
        if (clockMode == LE_CLK_VIRTUAL) return Fail("the cloud link needs the real or the skip clock, not virtual");
    }
    else if (!cloud.prefix.empty() || !cloud.clientId.empty() || !cloud.user.empty() || !cloud.passwordFile.empty() ||
             !cloud.caFile.empty() || mqttOptionGiven)
    {
        return Fail("the --mqtt-... options need --mqtt URL");
    }

    le_clk_SetMode(clockMode);
    le_log_SetGlobalFilterLevel(logLevel);

    if (pa_fs_MakeDirs(runtimeDir) != LE_OK) return Fail("cannot create the runtime directory");
    char reason[PA_PATH_MAX + 128];
    if (pa_path_CheckRuntimeDir(runtimeDir, reason, sizeof(reason)) != LE_OK) return Fail(reason);
    // Before anything in the directory is opened or written: a second program on it must leave the
    // first one's files alone.
    int lockFd = -1;
    le_result_t locked = pa_path_LockRuntimeDir(runtimeDir, &lockFd);
    if (locked == LE_DUPLICATE) return Fail("another veltrona runs on this runtime directory (see --runtime-dir)");
    if (locked != LE_OK) return Fail(("cannot lock the runtime directory: " + std::string(strerror(errno))).c_str());
    char path[PA_PATH_MAX];

    // Started by systemd with stderr to the journal: the whole log goes there, each line with its
    // priority, and a file is written only when asked for.
    const bool journal = le_log_StderrIsJournal();
    if (journal)
    {
        le_log_SetJournal(true);
        if (!consoleLevelGiven) consoleLevel = LE_LOG_DEBUG;
        if (logFile.empty()) logFile = "none";
    }
    if (logFile.empty())
    {
        if (!pa_path_Join(runtimeDir, "veltrona.log", path, sizeof(path))) return Fail("runtime directory path too long");
        logFile = path;
    }
    if (logFile != "none")
    {
        if (le_log_OpenFile(logFile.c_str(), LogFileBytes) != LE_OK)
        {
            return Fail(("cannot open the log file " + logFile + ": " + strerror(errno)).c_str());
        }
        le_log_SetConsoleLevel(consoleLevel);
    }
    else if (journal)
    {
        le_log_SetConsoleLevel(consoleLevel);
    }

    if (!real)
    {
        char err[512];
        bool ok = scenarioFile.empty() ? simBoard_LoadPreset(scenario.c_str(), err, sizeof(err))
                                       : simBoard_LoadFile(scenarioFile.c_str(), err, sizeof(err));
        for (size_t s = 0; ok && s < settings.size(); s++)
        {
            std::string key, val;
            if (!SplitMapping(settings[s].c_str(), &key, &val))
            {
                snprintf(err, sizeof(err), "--set takes KEY=VALUE");
                ok = false;
            }
            else
            {
                ok = simBoard_Set(key.c_str(), val.c_str(), err, sizeof(err));
            }
        }
        if (!ok) return Fail(err);
        simBoard_Install();

        // The module's device and data directories live under the runtime directory.
        const char* simDirs[][2] = {{"/dev", "dev"}, {"/mnt/userrw", "userrw"}};
        for (const auto& d : simDirs)
        {
            if (!pa_path_Join(runtimeDir, d[1], path, sizeof(path)) || pa_fs_MakeDirs(path) != LE_OK)
                return Fail("cannot prepare the simulated board's directories");
            pa_path_AddMapping(d[0], path);
        }
    }
    bool esp3Mapped = false;
    bool modbusMapped = false;
    for (const auto& d : devices)
    {
        pa_path_AddMapping(d.first.c_str(), d.second.c_str());
        pa_i2cSim_RemoveBus(d.first.c_str());
        esp3Mapped = esp3Mapped || d.first == "/dev/ttyHS0";
        modbusMapped = modbusMapped || d.first == "/dev/ttyHS1";
    }
    unsigned esp3PeriodMs = 0;
    if (!real && !esp3Mapped && simBoard_Esp3(&esp3PeriodMs))
    {
        char tty[PA_PATH_MAX];
        if (!simEsp3_Start(esp3PeriodMs, tty, sizeof(tty))) return Fail("cannot start the simulated EnOcean transceiver");
        atexit(simEsp3_Stop);   // whatever way main returns, the transceiver's thread ends first
        pa_path_AddMapping("/dev/ttyHS0", tty);
    }
    uint8_t modbusAddress = 0;
    if (!real && !modbusMapped && simBoard_Modbus(&modbusAddress))
    {
        char tty[PA_PATH_MAX];
        if (!simModbus_Start(modbusAddress, tty, sizeof(tty))) return Fail("cannot start the simulated Modbus slave");
        atexit(simModbus_Stop);
        simBoard_LoadModbusMap();
        pa_path_AddMapping("/dev/ttyHS1", tty);
    }

    if (!pa_path_Join(runtimeDir, "services", path, sizeof(path)) || le_msg_SetServiceDirectory(path) != LE_OK)
        return Fail("cannot prepare the service directory");
    if (!pa_path_Join(runtimeDir, "datahub-settings.txt", path, sizeof(path)) || dhub_SetSettingsFile(path) != LE_OK)
        return Fail("cannot read the kept Data Hub settings");
    // Before the admin server's thread runs, so that a refusal here ends the program plainly.
    if (!cloud.url.empty())
    {
        if (!pa_path_Join(runtimeDir, "mqtt-outbox.txt", path, sizeof(path))) return Fail("runtime directory path too long");
        cloud.outboxFile = path;
        std::string why;
        if (!pa_path_Join(runtimeDir, "gateway-id.txt", path, sizeof(path))) return Fail("runtime directory path too long");
        if (cloud_LoadIdentity(path, &cloud.identity, &why) != LE_OK) return Fail(("cloud link: " + why).c_str());
        if (cloud_Start(cloud, &why) != LE_OK) return Fail(("cloud link: " + why).c_str());
    }

    if (!pa_path_Join(runtimeDir, "datahub.sock", path, sizeof(path))) return Fail("runtime directory path too long");
    le_result_t served = dhub_StartAdminServer(path);
    if (served == LE_DUPLICATE) return Fail("another veltrona runs on this runtime directory (see --runtime-dir)");
    if (served != LE_OK) return Fail("cannot open the Data Hub admin socket");

    if (!real)
    {
        if (!pa_path_Join(runtimeDir, SIM_CONTROL_SOCKET, path, sizeof(path)) || simControl_Start(path) != LE_OK)
            return Fail("cannot open the simulated board's control socket");
        atexit(simControl_Stop);
    }

    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = OnSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    fprintf(stderr, "veltrona: %s, runtime directory %s, log %s\n",
            real ? "real devices" : (scenarioFile.empty() ? ("scenario " + scenario).c_str() : scenarioFile.c_str()),
            runtimeDir, logFile != "none" ? logFile.c_str() : journal ? "in the journal" : "on the console only");
    if (!cloud.url.empty()) fprintf(stderr, "veltrona: cloud link to %s, topics under %s/\n", cloud_RedactedUrl(cloud.url).c_str(),
                cloud_TopicPrefix());

    pa_appCtrl_SetOwnName("Veltrona");
    _VeltronaComponent_Init();
    // Queued behind the start-up, so it runs once identification and the start-up wait are over.
    le_event_QueueFunction(ReportBoardMode, nullptr, nullptr);
    int code = le_event_RunLoop();

    pa_notify_Send("STOPPING=1");
    cloud_Stop();
    dhub_StopAdminServer();
    le_log_Flush();   // the program's own lines come after what the component logged
    int status = code == 130 ? 0 : code;
    if (code == 130)
    {
        fprintf(stderr, "veltrona: stopped (%s)\n", LastSignal == SIGTERM ? "terminated" : "interrupted");
    }
    else if (BoardType == BOARD_NONE)
    {
        fprintf(stderr, "veltrona: stopped: no known board: %s\n", WhyNoBoard().c_str());
        status = 1;
    }
    else
    {
        fprintf(stderr, "veltrona: stopped (application stopped)\n");
    }
    // A thread of the component (a converter's looper serving a client) may still run: the simulated
    // board is stopped and the log written out, and the process ends here rather than running the
    // static destructors under that thread.
    simControl_Stop();
    simModbus_Stop();
    simEsp3_Stop();
    le_log_Flush();
    fflush(nullptr);
    _exit(status);
}

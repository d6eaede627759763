// simboard: turns the knobs of a running simulated board through its control socket.
#include "pa_path.h"
#include "pa_text.h"
#include "sim_control.h"
#include "tool_support.h"

#include <cstdio>
#include <string>
#include <vector>

namespace
{
void Usage(FILE* out)
{
    fprintf(out,
            "Usage: simboard [--runtime-dir DIR] COMMAND ...\n"
            "Reads and changes the simulated board of a running veltrona (one started without --real).\n"
            "\n"
            "Commands:\n"
            "  list                every key with its value, one KEY<TAB>VALUE a line\n"
            "  get KEY             the value of one key\n"
            "  set KEY VALUE       change a simulated input while the program runs, e.g.\n"
            "                      set adc.ch1 1.6   (volts on the converter's channel 1)\n"
            "                      set gpio.33 0     (the level put on module pin 33)\n"
            "                      set addon.in2 0   (expander line 2 pulled low: an interrupt)\n"
            "\n"
            "The keys are those of the scenario files (sim/SCENARIOS.md); what describes the board\n"
            "itself (EEPROM, buses, which devices are fitted) is fixed once the program runs, and\n"
            "the inputs of the simulated devices can change. gpio.42, gpio.33, gpio.13 and gpio.8\n"
            "read the level the pin carries (what the component drives on an output), and\n"
            "addon.out5 to addon.out8 the levels the add-on expander drives; those can only be read.\n"
            "\n"
            "Options:\n"
            "  --runtime-dir DIR   runtime directory of veltrona (default $VELTRONA_RUNTIME_DIR\n"
            "                      or /tmp/veltrona-UID)\n"
            "  --timeout SECONDS   how long to wait for an answer (default 5)\n"
            "  --help              this text\n"
            "  --version           the program's version\n"
            "\n"
            "Exit status: 0 done, 1 refused (unknown key, bad value, a key that cannot change while\n"
            "the program runs), 2 usage or connection error, 3 timed out.\n");
}
}

int main(int argc, char** argv)
{
    ToolOptions options;
    int exitCode = 0;
    if (!ParseToolOptions("simboard", argc, argv, Usage, &options, &exitCode)) return exitCode;
    const std::vector<std::string>& args = options.args;
    std::string request;
    if (args.size() == 1 && args[0] == "list") request = "LIST";
    else if (args.size() == 2 && args[0] == "get") request = "GET\t" + args[1];
    else if (args.size() == 3 && args[0] == "set") request = "SET\t" + args[1] + "\t" + args[2];
    else
    {
        bool known = !args.empty() && (args[0] == "list" || args[0] == "get" || args[0] == "set");
        return UsageError("simboard", args, known, Usage);
    }
    for (const std::string& a : args)
    {
        if (a.find_first_of("\t\n\r") != std::string::npos)
        {
            fprintf(stderr, "simboard: keys and values cannot hold tabs or line breaks\n");
            return 2;
        }
    }
    // The control socket sits beside the service directory, in the runtime directory.
    std::string runtimeDir = options.serviceDir.substr(0, options.serviceDir.rfind('/'));
    char path[PA_PATH_MAX];
    if (!pa_path_Join(runtimeDir.c_str(), SIM_CONTROL_SOCKET, path, sizeof(path)))
    {
        fprintf(stderr, "simboard: runtime directory path too long\n");
        return 2;
    }
    LineConnection conn;
    std::string err;
    if (!conn.Open(path, "the simulated board", &err))
    {
        fprintf(stderr, "simboard: %s\n", err.c_str());
        return 2;
    }
    double timeout = options.timeout < 0 ? 5.0 : options.timeout;
    if (!conn.Send(request))
    {
        fprintf(stderr, "simboard: the simulated board closed the connection\n");
        return 2;
    }
    for (;;)
    {
        std::string line;
        int r = conn.ReadLine(&line, timeout);
        if (r == 0)
        {
            fprintf(stderr, "simboard: no answer within %.1f s\n", timeout);
            return 3;
        }
        if (r < 0)
        {
            fprintf(stderr, "simboard: the simulated board closed the connection\n");
            return 2;
        }
        std::vector<std::string> f = pa_text_Split(line, '\t');
        if (f[0] == "ERR")
        {
            fprintf(stderr, "simboard: %s\n", f.size() > 1 ? f[1].c_str() : "refused");
            return 1;
        }
        if (f[0] == "KEY" && f.size() == 3)
        {
            printf("%s\t%s\n", f[1].c_str(), f[2].c_str());
            continue;
        }
        if (f[0] == "END") return 0;
        if (f[0] == "OK")
        {
            if (f.size() == 2) printf("%s\n", f[1].c_str());
            return 0;
        }
        fprintf(stderr, "simboard: unexpected answer '%s'\n", line.c_str());
        return 2;
    }
}

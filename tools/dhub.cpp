// dhub: the Data Hub's administrator (the cloud's stand-in) on the command line.
#include "datahub_admin.h"
#include "pa_path.h"
#include "pa_socket.h"
#include "pa_text.h"
#include "tool_support.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace
{
void Usage(FILE* out)
{
    fprintf(out,
            "Usage: dhub [--socket PATH | --runtime-dir DIR] COMMAND ...\n"
            "Lists, reads and pushes the Data Hub resources of a running veltrona.\n"
            "\n"
            "Commands:\n"
            "  list                      every resource: path, kind, type, units, state, value\n"
            "  get PATH                  the value of a resource\n"
            "  push PATH [VALUE]         push to an output (no value for a trigger)\n"
            "  watch [PREFIX]            print each push under PREFIX as: path<TAB>value\n"
            "      --count N             stop after N pushes\n"
            "      --timestamps          print the push's time first: seconds<TAB>path<TAB>value\n"
            "  wait PATH                 wait until the resource exists\n"
            "\n"
            "Values are printed one record a line: a backslash prints as \\\\, a line end as \\n, a tab\n"
            "as \\t, a carriage return as \\r and any other control character as \\xNN.\n"
            "With --json, list, get and watch print one JSON object a line instead:\n"
            "  {\"path\":..., \"kind\":..., \"type\":..., \"units\":..., \"value\":..., \"timestamp\":...}\n"
            "(value: true/false for a boolean, a number for a numeric, a string for a string or JSON\n"
            "value, null for a trigger or a resource without a value; timestamp: seconds since 1970).\n"
            "\n"
            "Options:\n"
            "  --socket PATH             admin socket (default <runtime dir>/datahub.sock)\n"
            "  --runtime-dir DIR         runtime directory of the program (default $VELTRONA_RUNTIME_DIR\n"
            "                            or /tmp/veltrona-UID)\n"
            "  --json                    list, get, watch: one JSON object a line\n"
            "  --timeout SECONDS         give up after this long (watch, wait; default: wait forever\n"
            "                            for watch, 10 s for wait)\n"
            "  --help                    this text\n"
            "  --version                 the program's version\n"
            "\n"
            "Exit status: 0 done, 1 refused by the Data Hub (or a push applied but not kept across a\n"
            "restart, because the settings file could not be written), 2 usage or connection error,\n"
            "3 timed out.\n");
}

std::vector<std::string> Fields(const std::string& line)
{
    return pa_text_Split(line, '\t');
}

// A value as printed: control characters escaped so that one record stays one line.
std::string Shown(const std::string& raw)
{
    std::string out;
    for (unsigned char c : raw)
    {
        switch (c)
        {
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            default:
                if (c < 0x20 || c == 0x7F)
                {
                    char hex[8];
                    snprintf(hex, sizeof(hex), "\\x%02X", c);
                    out += hex;
                }
                else
                {
                    out += static_cast<char>(c);
                }
        }
    }
    return out;
}

std::string Escaped(const std::string& text, bool* ok)
{
    std::vector<char> buf(DHUB_TEXT_MAX);
    *ok = dhub_Escape(text.c_str(), buf.data(), buf.size());
    return buf.data();
}

int Refused(const std::string& reply)
{
    std::vector<std::string> f = Fields(reply);
    fprintf(stderr, "dhub: %s\n", f.size() > 1 ? f[1].c_str() : reply.c_str());
    return 1;
}

const double OneShotTimeoutS = 10;

int Lost()
{
    fprintf(stderr, "dhub: the Data Hub closed the connection\n");
    return 2;
}

// Reads the next line by the deadline (< 0: none): 0 with *reply, 3 when it did not come in time,
// 2 when the connection ended.
int NextLine(LineConnection* conn, std::string* reply, double deadline)
{
    double left = deadline < 0 ? -1 : std::max(0.0, deadline - NowSeconds());
    int r = conn->ReadLine(reply, left);
    if (r == 1) return 0;
    if (r < 0) return Lost();
    fprintf(stderr, "dhub: the Data Hub did not answer within the time-out\n");
    return 3;
}

// Sends a request and reads the first line of its answer by the deadline (< 0: none). A request
// the server would not take (it refuses a client beyond its limit, then closes) still gets its
// answer read. 0 with *reply, or the exit status with its message said.
int Exchange(LineConnection* conn, const std::string& request, std::string* reply, double deadline)
{
    conn->Send(request);
    return NextLine(conn, reply, deadline);
}
}

int main(int argc, char** argv)
{
    std::string socketPath;
    std::string runtimeDir;
    double timeout = -1;
    long count = -1;
    bool json = false;
    bool timestamps = false;
    std::vector<std::string> args;
    for (int i = 1; i < argc; i++)
    {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
            {
                fprintf(stderr, "dhub: %s needs a value\n", a.c_str());
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
            printf("dhub %s\n", VELTRONA_VERSION);
            return 0;
        }
        else if (a == "--")   // what follows is operands, whatever it looks like
        {
            for (i++; i < argc; i++) args.push_back(argv[i]);
        }
        else if (a == "--json") json = true;
        else if (a == "--timestamps") timestamps = true;
        else if (a == "--socket") socketPath = value();
        else if (a == "--runtime-dir") runtimeDir = value();
        else if (a == "--timeout" || a == "--count")
        {
            std::string v = value();
            char* end = nullptr;
            double d = strtod(v.c_str(), &end);
            if (end == v.c_str() || *end != '\0' || !std::isfinite(d) || d < 0 || d > 4e6)
            {
                fprintf(stderr, "dhub: %s takes a number, not '%s'\n", a.c_str(), v.c_str());
                return 2;
            }
            if (a == "--timeout") timeout = d;
            else count = static_cast<long>(d);
        }
        else if (a.size() > 1 && a[0] == '-' && a[1] == '-')
        {
            fprintf(stderr, "dhub: unknown option '%s'\n", a.c_str());
            return 2;
        }
        else args.push_back(a);
    }
    if (args.empty())
    {
        Usage(stderr);
        return 2;
    }
    const std::string& cmd = args[0];
    bool checkRuntimeDir = socketPath.empty();
    if (checkRuntimeDir)
    {
        char dir[PA_PATH_MAX];
        if (runtimeDir.empty())
        {
            if (!pa_path_DefaultRuntimeDir(dir, sizeof(dir))) return 2;
            runtimeDir = dir;
        }
        socketPath = runtimeDir + "/datahub.sock";
    }
    auto wantArgs = [&](size_t min, size_t max) {
        if (args.size() < min + 1 || args.size() > max + 1)
        {
            fprintf(stderr, "dhub: wrong number of arguments for '%s' (see --help)\n", cmd.c_str());
            exit(2);
        }
    };

    std::string err;
    LineConnection conn;
    if (cmd == "wait")
    {
        wantArgs(1, 1);
        double limit = timeout < 0 ? 10.0 : timeout;
        double deadline = NowSeconds() + limit;
        for (;;)
        {
            // The program may not have made its runtime directory yet; once there, it must be private.
            char reason[PA_PATH_MAX + 128];
            le_result_t dirState =
                checkRuntimeDir ? pa_path_CheckRuntimeDir(runtimeDir.c_str(), reason, sizeof(reason)) : LE_OK;
            if (dirState == LE_NOT_PERMITTED)
            {
                fprintf(stderr, "dhub: %s\n", reason);
                return 2;
            }
            LineConnection probe;
            std::string reply;
            if (dirState == LE_OK && probe.Open(socketPath, "the Data Hub", &err) && probe.Send("GET\t" + args[1]) &&
                probe.ReadLine(&reply, limit) == 1 && reply.compare(0, 2, "OK") == 0)
            {
                return 0;
            }
            if (NowSeconds() >= deadline)
            {
                fprintf(stderr, "dhub: %s did not appear within %.1f s\n", args[1].c_str(), limit);
                return 3;
            }
            usleep(50 * 1000);
        }
    }
    if (checkRuntimeDir && !UsableRuntimeDir("dhub", &runtimeDir)) return 2;
    if (!conn.Open(socketPath, "the Data Hub", &err))
    {
        fprintf(stderr, "dhub: %s\n", err.c_str());
        return 2;
    }
    std::string reply;
    // One-shot commands end by their time-out, 10 s unless given: a gateway that hangs never holds
    // a health check for ever.
    double deadline = NowSeconds() + (timeout < 0 ? OneShotTimeoutS : timeout);
    if (cmd == "list")
    {
        wantArgs(0, 0);
        for (bool first = true;; first = false)
        {
            if (int failed = first ? Exchange(&conn, "LIST", &reply, deadline) : NextLine(&conn, &reply, deadline))
                return failed;
            if (reply == "END") return 0;
            std::vector<std::string> f = Fields(reply);
            if (f.size() != 8 || f[0] != "RES") return Refused(reply);
            if (f[2] == "placeholder") continue;
            if (json)
            {
                printf("%s\n", JsonRecord(f[1], f[2], f[3], f[4], f[5] != "none", Unescaped(f[6]), f[7]).c_str());
                continue;
            }
            printf("%-40s %-6s %-7s %-8s %-7s %s\n", f[1].c_str(), f[2].c_str(), f[3].c_str(),
                   f[4].empty() ? "-" : f[4].c_str(), f[5].c_str(), Shown(Unescaped(f[6])).c_str());
        }
    }
    if (cmd == "get")
    {
        wantArgs(1, 1);
        if (int failed = Exchange(&conn, "GET\t" + args[1], &reply, deadline)) return failed;
        std::vector<std::string> f = Fields(reply);
        if (f[0] != "OK" || f.size() != 7) return Refused(reply);
        if (json)
        {
            printf("%s\n", JsonRecord(args[1], f[5], f[1], f[6], f[3] != "none", Unescaped(f[4]), f[2]).c_str());
            return 0;
        }
        if (f[3] == "none")
        {
            fprintf(stderr, "dhub: %s has no value yet\n", args[1].c_str());
            return 1;
        }
        printf("%s\n", Shown(Unescaped(f[4])).c_str());
        return 0;
    }
    if (cmd == "push")
    {
        wantArgs(1, 2);
        std::string line = "PUSH\t" + args[1];
        if (args.size() == 3)
        {
            bool ok;
            line += "\t" + Escaped(args[2], &ok);
            if (!ok)
            {
                fprintf(stderr, "dhub: value too long\n");
                return 1;
            }
        }
        if (int failed = Exchange(&conn, line, &reply, deadline)) return failed;
        std::vector<std::string> f = Fields(reply);
        if (f.size() == 2 && f[0] == "NOTKEPT")
        {
            fprintf(stderr, "dhub: %s was %s\n", args[1].c_str(), f[1].c_str());
            return 1;
        }
        return reply == "OK" ? 0 : Refused(reply);
    }
    if (cmd == "watch")
    {
        wantArgs(0, 1);
        std::string line = "WATCH";
        if (args.size() == 2) line += "\t" + args[1];
        // The watch itself runs until its time-out, if any; its first answer comes within the usual time.
        if (int failed = Exchange(&conn, line, &reply, NowSeconds() + (timeout < 0 ? OneShotTimeoutS : timeout)))
            return failed;
        if (reply != "OK") return Refused(reply);
        deadline = NowSeconds() + timeout;
        for (long seen = 0; count < 0 || seen < count; seen++)
        {
            double left = timeout < 0 ? -1 : deadline - NowSeconds();
            if (timeout >= 0 && left <= 0) return 3;
            int r = conn.ReadLine(&reply, left);
            if (r == 0) return 3;
            if (r < 0) return Lost();
            std::vector<std::string> f = Fields(reply);
            if (f.size() != 7 || f[0] != "PUSH") continue;
            if (json) printf("%s\n", JsonRecord(f[1], f[5], f[2], f[6], true, Unescaped(f[4]), f[3]).c_str());
            else if (timestamps) printf("%s\t%s\t%s\n", f[3].c_str(), f[1].c_str(), Shown(Unescaped(f[4])).c_str());
            else printf("%s\t%s\n", f[1].c_str(), Shown(Unescaped(f[4])).c_str());
            fflush(stdout);
        }
        return 0;
    }
    fprintf(stderr, "dhub: unknown command '%s' (see --help)\n", cmd.c_str());
    return 2;
}

// The real veltrona program on a simulated board, started and driven from outside.
#pragma once

#include "le_event.h"
#include "sim_process.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

// A veltrona process whose output goes to a file; killed if still running at the end.
class Program
{
public:
    // The console shows the whole log (info and up), as the tests read it, unless args choose.
    bool Start(std::vector<std::string> args, const std::string& logPath)
    {
        if (std::find(args.begin(), args.end(), "--console-level") == args.end())
        {
            args.insert(args.end(), {"--console-level", "info"});
        }
        pid_ = simProcess_Start(VELTRONA_BIN, args, logPath, true);
        return pid_ > 0;
    }

    // Exit status, or -1 when it did not end within the time.
    int WaitExit(int seconds)
    {
        int status = simProcess_Wait(pid_, seconds * 1000);
        if (status >= 0) pid_ = -1;
        return status;
    }

    int Interrupt(int seconds)
    {
        kill(pid_, SIGINT);
        return WaitExit(seconds);
    }

    int Terminate(int seconds)
    {
        kill(pid_, SIGTERM);
        return WaitExit(seconds);
    }

    void Signal(int sig) { kill(pid_, sig); }

    // As a crash or a power cut would end it: no clean-up of any kind.
    int Kill()
    {
        kill(pid_, SIGKILL);
        return WaitExit(10);
    }

    ~Program()
    {
        if (pid_ > 0)
        {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

private:
    pid_t pid_ = -1;
};

class EndToEnd : public ::testing::Test
{
protected:
    TempDir dir;
    std::string Runtime() const { return dir.File("rt"); }
    std::string Log() const { return dir.File("veltrona.log"); }

    int Dhub(const std::string& args, std::string* out = nullptr)
    {
        std::string output;
        int rc = RunCommand(std::string(DHUB_BIN) + " --runtime-dir '" + Runtime() + "' " + args + " 2>&1", &output);
        if (out) *out = output;
        return rc;
    }

    // Serves this process's loop until the condition holds (10 s at most, unless told).
    template <typename Pred>
    bool Until(Pred pred, int seconds = 10)
    {
        struct Holder
        {
            Pred* p;
            static bool Call(void* c) { return (*static_cast<Holder*>(c)->p)(); }
        } holder{&pred};
        return le_event_RunUntil(Holder::Call, &holder, seconds * 1000);
    }

    // Runs the command (its stderr joined to *out) every 50 ms until it succeeds and prints exactly
    // the line want, for up to 10 s.
    bool Becomes(const std::string& command, const std::string& want, std::string* out)
    {
        for (int i = 0; i < 200; i++)
        {
            if (RunCommand(command + " 2>&1", out) == 0 && *out == want + "\n") return true;
            usleep(50000);
        }
        return false;
    }

    // How often what occurs in the text.
    static size_t Count(const std::string& text, const std::string& what)
    {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
        return n;
    }

    // How many times a log says the text: a line folded with its repeats ("last message repeated N
    // times") counts them too.
    static size_t Said(const std::string& log, const std::string& text)
    {
        size_t n = 0;
        std::string place;   // where the last line that said it came from
        for (size_t at = 0, eol; (eol = log.find('\n', at)) != std::string::npos; at = eol + 1)
        {
            std::string line = log.substr(at, eol - at);
            size_t p1 = line.find(" | "), p2 = line.find(" | ", p1 + 3), p3 = line.find(" | ", p2 + 3);
            if (p3 == std::string::npos) continue;
            std::string from = line.substr(p1, p3 - p1);
            if (line.find(text, p3) != std::string::npos) n++, place = from;
            else if (from == place && line.compare(p3 + 3, 22, "last message repeated ") == 0) n += atol(line.c_str() + p3 + 25);
            else if (from == place) place.clear();
        }
        return n;
    }

    std::string DhubCommand() const { return std::string(DHUB_BIN) + " --runtime-dir '" + Runtime() + "' "; }

    void StartGateway(Program* p, const char* scenario)
    {
        ASSERT_TRUE(p->Start({"--scenario", scenario, "--clock", "skip", "--runtime-dir", Runtime()}, Log()));
        std::string out;
        ASSERT_EQ(Dhub("wait settings/addon_type --timeout 20", &out), 0) << out << ReadTextFile(Log());
    }
};

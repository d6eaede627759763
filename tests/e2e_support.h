// The real veltrona program on a simulated board, started and driven from outside.
#pragma once

#include "le_event.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

// A veltrona process whose output goes to a file.
class Program
{
public:
    bool Start(const std::vector<std::string>& args, const std::string& logPath)
    {
        std::vector<std::string> argv{VELTRONA_BIN};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> cargv;
        for (auto& a : argv) cargv.push_back(&a[0]);
        cargv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
        int rc = posix_spawn(&pid_, VELTRONA_BIN, &actions, nullptr, cargv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        return rc == 0;
    }

    // Exit status, or -1 when it did not end within the time.
    int WaitExit(int seconds)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (std::chrono::steady_clock::now() < end)
        {
            int status;
            pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_)
            {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            usleep(20000);
        }
        return -1;
    }

    int Interrupt(int seconds)
    {
        kill(pid_, SIGINT);
        return WaitExit(seconds);
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

    // Serves this process's loop until the condition holds (10 s at most).
    template <typename Pred>
    bool Until(Pred pred)
    {
        struct Holder
        {
            Pred* p;
            static bool Call(void* c) { return (*static_cast<Holder*>(c)->p)(); }
        } holder{&pred};
        return le_event_RunUntil(Holder::Call, &holder, 10000);
    }

    void StartGateway(Program* p, const char* scenario)
    {
        ASSERT_TRUE(p->Start({"--scenario", scenario, "--clock", "skip", "--runtime-dir", Runtime()}, Log()));
        std::string out;
        ASSERT_EQ(Dhub("wait settings/addon_type --timeout 20", &out), 0) << out << ReadTextFile(Log());
    }
};

// Event-loop figures: queued functions and timer expiries per second on the virtual clock,
// and fd-monitor wake-ups per second through a pipe.
#include "le_clock.h"
#include "le_event.h"
#include "le_log.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace
{
long Counter = 0;

double Seconds()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void Count(void*, void*)
{
    Counter++;
}

void TimerCount(le_timer_Ref_t)
{
    Counter++;
}

int PipeRead = -1;
int PipeWrite = -1;

void OnReadable(int fd, short)
{
    char b;
    if (read(fd, &b, 1) == 1)
    {
        Counter++;
        if (write(PipeWrite, &b, 1) != 1) le_event_StopLoop(nullptr, 1);
    }
}
}

int main(int argc, char** argv)
{
    if (argc > 1)
    {
        bool help = strcmp(argv[1], "--help") == 0;
        if (strcmp(argv[1], "--version") == 0)
        {
            printf("bench_loop %s\n", VELTRONA_VERSION);
            return 0;
        }
        fprintf(help ? stdout : stderr,
                "Usage: bench_loop\nPrints the event loop's throughput: queued functions, timer expiries and fd\n"
                "events per second.\n");
        return help ? 0 : 2;
    }
    le_log_SetStderr(false);
    le_clk_SetMode(LE_CLK_VIRTUAL);

    const long queued = 1000000;
    double t0 = Seconds();
    for (long i = 0; i < queued; i++) le_event_QueueFunction(Count, nullptr, nullptr);
    le_event_RunUntilIdle();
    double t1 = Seconds();
    printf("queued functions: %ld in %.3f s = %.0f per second\n", Counter, t1 - t0, Counter / (t1 - t0));

    Counter = 0;
    le_timer_Ref_t timer = le_timer_Create("bench");
    le_timer_SetMsInterval(timer, 1);
    le_timer_SetRepeat(timer, 0);
    le_timer_SetHandler(timer, TimerCount);
    le_timer_Start(timer);
    t0 = Seconds();
    le_event_AdvanceMs(200000);
    t1 = Seconds();
    printf("timer expiries (virtual clock): %ld in %.3f s = %.0f per second\n", Counter, t1 - t0, Counter / (t1 - t0));
    le_timer_Stop(timer);

    Counter = 0;
    int fds[2];
    if (pipe2(fds, O_NONBLOCK) != 0) return 1;
    PipeRead = fds[0];
    PipeWrite = fds[1];
    le_fdMonitor_Create("bench", PipeRead, OnReadable, POLLIN);
    char b = 'x';
    if (write(PipeWrite, &b, 1) != 1) return 1;
    t0 = Seconds();
    while (Seconds() - t0 < 1.0) le_event_ServiceOnce(10);
    t1 = Seconds();
    printf("fd monitor wake-ups (pipe ping): %ld in %.3f s = %.0f per second\n", Counter, t1 - t0,
           Counter / (t1 - t0));
    return 0;
}

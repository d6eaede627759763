// The universal converter on the simulated chip and the real clock: time per measurement at 12
// and 16 bits, the main loop's longest stall while the Data Hub binding measures, and the CPU the
// program uses while four channels publish every second and the looper serves four channels.
#include "UniversalConverter.h"
#include "UniversalConverterOctave.h"
#include "bench_support.h"
#include "datahub_admin.h"
#include "le_clock.h"
#include "le_event.h"
#include "le_log.h"
#include "pa_path.h"
#include "sim_adc.h"
#include "sim_board.h"

#include <algorithm>
#include <cstdio>
#include <sys/resource.h>

namespace
{
void Usage(FILE* to)
{
    fprintf(to,
            "Usage: bench_adc [--seconds N]\n"
            "Measures the converter on the simulated MCP3424 and the real clock: time per measurement\n"
            "(seven conversions) at 12 and 16 bits, the main loop's longest stall while the Data Hub\n"
            "binding measures, and CPU use with four channels published every second and a looper\n"
            "serving four channels (each part N seconds, default 3).\n");
}

void TimePerMeasurement(uint32_t speed, const char* name, double seconds)
{
    le_ExtAdc_SetConversionSpeed(speed);
    int n = 0;
    double worst = 0;
    double start = Now();
    while (Now() - start < seconds)
    {
        double t = Now();
        le_ExtAdc_GetValue(ADC1, nullptr, nullptr, nullptr);
        worst = std::max(worst, Now() - t);
        n++;
    }
    double each = (Now() - start) / n;
    printf("%s: %d measurements, %.1f ms each (worst %.1f ms)\n", name, n, each * 1000, worst * 1000);
}

// A 1 ms ticker on the main loop: the longest gap between its ticks is the loop's longest stall.
double LastTick = 0;
double LongestGap = 0;
void Tick(le_timer_Ref_t)
{
    double now = Now();
    if (LastTick > 0) LongestGap = std::max(LongestGap, now - LastTick);
    LastTick = now;
}

long LooperValues = 0;
void OnValue(IOT_ADC, uint16_t, double, double, void*)
{
    LooperValues++;
}

}

int main(int argc, char** argv)
{
    BenchOptions options;
    int exitCode = 0;
    if (!ParseBenchOptions(argc, argv, Usage, &options, &exitCode)) return exitCode;
    le_log_SetGlobalFilterLevel(LE_LOG_WARN);
    le_clk_SetMode(LE_CLK_REAL);
    char err[128];
    if (!simBoard_LoadPreset("converter", err, sizeof(err))) return 1;
    simBoard_Install();
    InitUC(2);
    StartUC();
    le_ExtAdc_SetDeviceAddress(0);   // the preset's chip at 68h
    le_event_RunUntilIdle();         // the binding's defaults reach the driver

    TimePerMeasurement(0, "12 bits", options.seconds);
    TimePerMeasurement(1, "16 bits", options.seconds);

    le_timer_Ref_t ticker = le_timer_Create("Ticker");
    le_timer_SetMsInterval(ticker, 1);
    le_timer_SetRepeat(ticker, 0);
    le_timer_SetHandler(ticker, Tick);
    le_timer_Start(ticker);
    dhub_AdminPush("uc_input1/period", "1");
    dhub_AdminPush("uc_input1/enable", "true");
    ServeLoopFor(options.seconds);
    printf("main loop's longest stall with one channel published every second (16 bits): %.1f ms\n",
           LongestGap * 1000);

    for (const char* n : {"2", "3", "4"})
    {
        dhub_AdminPush((std::string("uc_input") + n + "/period").c_str(), "1");
        dhub_AdminPush((std::string("uc_input") + n + "/enable").c_str(), "true");
    }
    le_ExtAdc_SetInterval(1000);
    le_ExtAdc_ValueHandlerRef_t looper = le_ExtAdc_AddOnValueHandler(ADC1 | ADC2 | ADC3 | ADC4, OnValue, nullptr);
    size_t conversionsBefore = simAdc_ConversionCount();
    double cpuBefore = ProcessCpuSeconds();
    double start = Now();
    ServeLoopFor(options.seconds);
    double elapsed = Now() - start;
    double cpu = ProcessCpuSeconds() - cpuBefore;
    le_ExtAdc_RemoveOnValueHandler(looper);
    printf("four channels every second plus a looper on four channels: %.1f %% of one core, %.0f measurements "
           "a second (%ld looper values)\n",
           100 * cpu / elapsed, (simAdc_ConversionCount() - conversionsBefore) / 7.0 / elapsed, LooperValues);
    return 0;
}

// Throughput of the link and the terminal over the simulated device on a test
// clock: no waiting, only the library's own work.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "link/comms.h"
#include "rig/lock_names.h"
#include "rig/sim_setup.h"
#include "sim/manual_clock.h"
#include "sim/sim_keeper.h"
#include "terminal/terminal.h"

namespace {

using namespace zqk;

struct Rig {
    sim::ManualClock clock;
    sim::SimKeeper keeper {clock};
    std::unique_ptr<TzqComms> comms;
    std::unique_ptr<TzqTerminal> terminal;

    Rig()
    {
        keeper.Device.SetPacing(0);
        comms = rig::SimComms(keeper.Device, clock, rig::ProcessLockName("bench", "link"));
        comms->Open();
        terminal = std::make_unique<TzqTerminal>(*comms);
        terminal->SetPrompt(TzqTerminal::kDefaultPrompt);
    }
};

// A full channel buffer (2048 packets) taken packet by packet: linear in the
// number of packets, whatever the buffer holds.
void DrainFullChannelBuffer(benchmark::State& state)
{
    Rig rig;
    const auto packets = static_cast<int>(state.range(0));
    std::string data;
    for (auto _ : state) {
        state.PauseTiming();
        for (int i = 0; i < packets; ++i)
            rig.keeper.Device.Send(5, std::string(61, 'd'));
        rig.comms->Poll(0);
        state.ResumeTiming();
        for (int i = 0; i < packets; ++i)
            rig.comms->Receive(5, 0, -1, data);
    }
    state.SetComplexityN(packets);
    state.SetItemsProcessed(state.iterations() * packets);
}
BENCHMARK(DrainFullChannelBuffer)->RangeMultiplier(2)->Range(256, 2048)->Complexity(benchmark::oN);

// A command whose output is 1 MiB, read byte by byte up to the prompt.
void MegabyteCommandOutput(benchmark::State& state)
{
    Rig rig;
    rig.keeper.Device.SetPacing(1);  // as a real endpoint delivers it; costs no time on the test clock
    std::string output;
    for (auto _ : state) {
        rig.terminal->SendLine("bytes 1048576");
        rig.terminal->WaitPrompt(1000, output);
        if (output.size() != 1048576)
            state.SkipWithError("short output");
    }
    state.SetBytesProcessed(state.iterations() * 1048576);
}
BENCHMARK(MegabyteCommandOutput)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

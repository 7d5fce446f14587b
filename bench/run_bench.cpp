// Whole programming runs of the flasher's stack against zmk-devsim: the
// embedded-size image, paced at 115200 (what a real line costs) and unpaced
// (what the protocol's own waits cost). Prints run time and exchanges.
#include "bench/harness.h"

#include <benchmark/benchmark.h>

namespace {

void full_run(benchmark::State &state, const char *baud)
{
    auto img = image();
    double exchanges = 0, wire_ms = 0, sim_ms = 0; // summed over iterations
    for (auto _ : state) {
        state.PauseTiming();
        sim s({"--baud", baud, "--erase-ms", "300", "--expect", ZMK_IMAGE_FILE, "--quiet-ms", "100",
               "--max-seconds", "120"});
        pty_host h;
        if (!h.open(s.tty)) {
            state.SkipWithError("cannot open the simulator's pty");
            return;
        }
        h.host.start(img);
        state.ResumeTiming();
        bool done = h.host.run(100000);
        state.PauseTiming();
        if (!done || s.wait(5000) != 0 || s.field("flash_matches") != "true") {
            state.SkipWithError("the run did not end with RESET and a matching flash");
            return;
        }
        exchanges += std::stod(s.field("exchanges"));
        wire_ms += std::stod(s.field("wire_ms"));
        sim_ms += std::stod(s.field("elapsed_ms"));
        state.ResumeTiming();
    }
    double n = double(state.iterations());
    state.counters["exchanges"] = exchanges / n;
    state.counters["wire_ms"] = wire_ms / n;
    state.counters["sim_ms"] = sim_ms / n;
    state.counters["image_bytes"] = double(img.size());
}

void paced_115200(benchmark::State &state) { full_run(state, "115200"); }
void unpaced(benchmark::State &state) { full_run(state, "0"); }

BENCHMARK(paced_115200)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(unpaced)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();

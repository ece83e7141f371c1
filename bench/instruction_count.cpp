// Runs a fixed amount of polling work for valgrind --tool=callgrind, which
// counts the instructions executed in measuredWork() alone:
//   valgrind --tool=callgrind --toggle-collect='*measuredWork*'
//            kel36_bench_instructions rounds 1000
// Instructions per round (or per reply) = the Ir total / the count given.

#include <cstdlib>
#include <iostream>
#include <string>

#include "bench_device.h"

namespace {

// Not inlined: callgrind's toggle needs the function by name.
__attribute__((noinline)) int measuredWork(kelbench::BenchDevice& bench, const std::string& what,
                                           unsigned count)
{
    int sink = 0;
    if (what == "rounds") {
        for (unsigned n = 0; n < count; ++n)
            sink += bench.runRound();
    } else {
        for (unsigned n = 0; n < count; ++n)
            sink += bench.replyAt(n % (kelbench::kRepliesPerRound - 1));
    }
    return sink;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string what = argc > 1 ? argv[1] : "";
    const long count = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 0;
    if ((what != "rounds" && what != "replies") || count <= 0) {
        std::cerr << "usage: kel36_bench_instructions rounds|replies COUNT\n";
        return 2;
    }
    kelbench::BenchDevice bench;
    bench.device().RefreshStatus();
    int sink;
    {
        kelbench::SilencedCout silenced;
        sink = measuredWork(bench, what, static_cast<unsigned>(count));
    }
    std::cout << what << ": " << count << " done (" << sink << ")\n";
    return 0;
}

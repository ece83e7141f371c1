#pragma once
// How late a character written on a deadline reaches a reader blocked on a
// pseudo-terminal (the writer's timer wake-up, the kernel's buffer push and
// the reader's wake-up), measured once per process. A UART has no such step:
// the paced line takes it off, so a poller sees each character when its stop
// bit would be through rather than that much later.

#include <chrono>

namespace kelsim {

struct PtyHandover {
    // From a write's deadline to the reader holding the character: what a
    // paced reply character is written ahead of its stop bit.
    std::chrono::nanoseconds send{0};
    // From a write to the reader holding the character: how much earlier a
    // request's bytes were written than they were read.
    std::chrono::nanoseconds receive{0};
};

// Means over a short series of one-character pings between two threads over
// a pseudo-terminal of its own, the slowest tenth left out; each at most
// 200 us, zero when the measurement fails. Every character of a line moves
// by the same amount, so their order and spacing stay as they were.
PtyHandover ptyHandover();

}  // namespace kelsim

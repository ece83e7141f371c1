#pragma once
// How long a pseudo-terminal takes to hand a character from the writer to a
// reader blocked on it (the kernel's buffer push and the reader's wake-up),
// measured once per process. A UART has no such step: the paced line takes it
// off both ways, so a poller sees each character when its stop bit would be
// through rather than one hand-over later.

#include <chrono>

namespace kelsim {

// The median of a short series of one-character pings between two threads
// over a pseudo-terminal of its own, at most 200 us; zero when the
// measurement fails. Every character of a line moves by the same amount, so
// their order and spacing stay as they were.
std::chrono::nanoseconds ptyHandover();

}  // namespace kelsim

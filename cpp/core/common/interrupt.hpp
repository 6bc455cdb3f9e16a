// A long scan asks, about every kInterruptInterval bytes of input, whether
// it should stop (Ctrl-C). Who answers is the caller's business: it installs
// a hook for its thread for the duration of a call (InterruptScope), and the
// core knows nothing else of it. Once the hook has said stop, every later
// ask on that thread says stop at once without calling it again, and the
// scans end as if their input ended there; the caller then throws their
// answer away (interrupted()). With no hook installed a scan never asks.
//
// The asks sit where a scan passes over input anyway: the reader's test for
// the input's end (its limit is the next check or the end, whichever is
// first), between stretches of the skip loop and of long searches, and in
// the well-formedness check's text loop. A scan with no hook pays nothing
// but that limit; one with a hook pays a call every few MB.
#pragma once

#include <cstddef>

namespace quelmar {

inline constexpr std::size_t kInterruptInterval = std::size_t{4} << 20;

struct InterruptHook {
    // True to stop. Called on the thread that installed it.
    bool (*stop)(void* ctx) = nullptr;
    void* ctx = nullptr;
};

namespace interrupt_detail {
struct State {
    InterruptHook hook;
    bool stopped = false;
};
// Initial-exec: read straight from the thread's block, with no call, also
// from inside the extension modules (a few bytes of the static TLS room).
[[gnu::tls_model("initial-exec")]] inline thread_local State t_state;
}  // namespace interrupt_detail

// Whether a scan on this thread asks at all.
inline bool interrupt_hooked() noexcept { return interrupt_detail::t_state.hook.stop != nullptr; }

// Whether the scan should stop now; asks the hook unless it already said so.
[[gnu::cold, gnu::noinline]] inline bool interrupt_requested() noexcept {
    interrupt_detail::State& s = interrupt_detail::t_state;
    if (!s.stopped && s.hook.stop != nullptr) s.stopped = s.hook.stop(s.hook.ctx);
    return s.stopped;
}

// Whether a scan of this thread stopped since the innermost scope began.
inline bool interrupted() noexcept { return interrupt_detail::t_state.stopped; }

// The next position at which a scan at `pos` of an input of `size` bytes
// asks: pos + the interval with a hook, else the end (never past it).
inline std::size_t next_interrupt_check(std::size_t pos, std::size_t size) noexcept {
    if (size - pos <= kInterruptInterval || !interrupt_hooked()) return size;
    return pos + kInterruptInterval;
}

// Installs `hook` for this thread until the scope ends; the hook it
// replaces comes back then, told of a stop that happened inside.
class InterruptScope {
public:
    explicit InterruptScope(InterruptHook hook) noexcept : saved_(interrupt_detail::t_state) {
        interrupt_detail::t_state = interrupt_detail::State{hook, false};
    }
    ~InterruptScope() {
        const bool stopped = interrupt_detail::t_state.stopped;
        interrupt_detail::t_state = saved_;
        interrupt_detail::t_state.stopped = saved_.stopped || stopped;
    }
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;

private:
    interrupt_detail::State saved_;
};

}  // namespace quelmar

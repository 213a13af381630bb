// What a thread ended by the interpreter's exit may still do.
//
// When the interpreter finalises, a daemon thread that comes back for the
// GIL (after a pass that ran without it, or inside NumPy or the eval loop)
// is ended there: on 3.10-3.13 with pthread_exit, whose forced unwind runs
// the destructors of every C++ frame on its stack, with no thread state.
// Those destructors must then leave Python objects alone; the process is
// ending, and what they held goes with it.
#pragma once

#include <atomic>

namespace kovar {

// Set when the interpreter starts its exit (the atexit callbacks run), one
// per module: every module watches for the exit itself.
inline std::atomic<bool> interpreter_exiting{false};

// Whether the calling thread holds the GIL with a thread state of its own.
// Out of line: asked only once the exit has begun.
bool thread_holds_gil() noexcept;

// Whether the calling thread may release references to Python objects: all
// the time, but on a thread that the exit is tearing down.
inline bool may_touch_python() noexcept {
  return !interpreter_exiting.load(std::memory_order_relaxed) || thread_holds_gil();
}

// Registers the callback that sets interpreter_exiting with the atexit
// module. Called by each module's exec step; false with an exception set.
bool watch_interpreter_exit();

}  // namespace kovar

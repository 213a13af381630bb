#include "kovar/regulo/controllers/call_lock.hpp"

#include <pthread.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "kovar/common/interpreter_exit.hpp"

namespace kovar {

namespace {

struct Holder {
  PyObject* controller;
  unsigned long thread;  // PyThread_get_thread_ident() of the holder
  std::size_t depth;     // its calls on the controller now running
};

// The controllers held now; read and written with the GIL held only. There
// are as many as threads inside calls, rarely more than a few: a linear
// search, in a table that grows when it must and never shrinks.
constexpr std::size_t kInlineHolders = 16;
Holder inline_holders[kInlineHolders];
Holder* holders = inline_holders;
std::size_t held = 0;
std::size_t capacity = kInlineHolders;
std::size_t waiting = 0;  // threads waiting for some controller

// Waiting threads sleep on `released` until `releases` moves on. Both are
// used without the GIL; `releases` only under `released_mutex`.
pthread_mutex_t released_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t released = PTHREAD_COND_INITIALIZER;
std::uint64_t releases = 0;

bool fork_handler_installed = false;

Holder* find(PyObject* controller) noexcept {
  for (std::size_t i = 0; i < held; ++i) {
    if (holders[i].controller == controller) return &holders[i];
  }
  return nullptr;
}

std::uint64_t releases_now() noexcept {
  pthread_mutex_lock(&released_mutex);
  const std::uint64_t seen = releases;
  pthread_mutex_unlock(&released_mutex);
  return seen;
}

// Sleeps, without the GIL, until a holder lets go of a controller after
// `seen`. Whichever it was, the caller looks again.
void wait_for_release(std::uint64_t seen) {
  Py_BEGIN_ALLOW_THREADS pthread_mutex_lock(&released_mutex);
  while (releases == seen) pthread_cond_wait(&released, &released_mutex);
  pthread_mutex_unlock(&released_mutex);
  Py_END_ALLOW_THREADS
}

// Room for one more holder. A table of more than kInlineHolders takes the
// heap; if even that fails the holder goes without (the table then cannot
// tell whom to wait for, which is as if the lock did not exist).
bool make_room() noexcept {
  if (held < capacity) return true;
  const std::size_t grown = 2 * capacity;
  void* bigger = std::malloc(grown * sizeof(Holder));
  if (bigger == nullptr) return false;
  auto* table = static_cast<Holder*>(bigger);
  for (std::size_t i = 0; i < held; ++i) table[i] = holders[i];
  if (holders != inline_holders) std::free(holders);
  holders = table;
  capacity = grown;
  return true;
}

// In a forked child, the threads of the parent other than the forking one
// are gone: what they held is free, and nobody waits. The forking thread
// goes on with what it held.
void forget_other_threads() {
  pthread_mutex_init(&released_mutex, nullptr);
  pthread_cond_init(&released, nullptr);
  const unsigned long me = PyThread_get_thread_ident();
  std::size_t kept = 0;
  for (std::size_t i = 0; i < held; ++i) {
    if (holders[i].thread == me) holders[kept++] = holders[i];
  }
  held = kept;
  waiting = 0;
}

}  // namespace

CallLock::CallLock(PyObject* controller) : controller_(controller) {
  const unsigned long me = PyThread_get_thread_ident();
  for (;;) {
    Holder* holder = find(controller);
    if (holder == nullptr) break;
    if (holder->thread == me) {
      ++holder->depth;
      counted_ = true;
      return;
    }
    // Read before the GIL goes: a release after this moves `releases` on.
    const std::uint64_t seen = releases_now();
    ++waiting;
    wait_for_release(seen);
    --waiting;
  }
  if (make_room()) {
    holders[held++] = {controller, me, 1};
    counted_ = true;
  }
}

CallLock::~CallLock() {
  // A thread torn down by the interpreter's exit holds the controller for
  // good: the table is the GIL's, which that thread does not have.
  if (!counted_ || !may_touch_python()) return;
  Holder* holder = find(controller_);
  if (holder == nullptr || --holder->depth > 0) return;
  *holder = holders[--held];
  if (waiting > 0) {
    pthread_mutex_lock(&released_mutex);
    ++releases;
    pthread_mutex_unlock(&released_mutex);
    pthread_cond_broadcast(&released);
  }
}

bool prepare_call_locks() {
  if (fork_handler_installed) return true;
  const int failed = pthread_atfork(nullptr, nullptr, forget_other_threads);
  if (failed != 0) {
    errno = failed;
    PyErr_SetFromErrno(PyExc_OSError);
    return false;
  }
  fork_handler_installed = true;
  return true;
}

}  // namespace kovar

#include "kovar/kernels/thread_pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>
#include <xmmintrin.h>

#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

// glibc 2.32 and 2.34 gave these new symbol versions (libpthread moved into
// libc); binding the first versions keeps the module loadable on the
// glibc 2.17 of manylinux2014.
#if defined(__GLIBC__) && defined(__x86_64__)
__asm__(".symver pthread_create, pthread_create@GLIBC_2.2.5");
__asm__(".symver pthread_sigmask, pthread_sigmask@GLIBC_2.2.5");
#endif

namespace kovar::kernels {

namespace {

constexpr int kMaxThreads = 64;
static_assert(kMaxThreads <= 64, "a home part per thread, a bit each");
constexpr int kDefaultMaxThreads = 8;
// Ranges start on a multiple of this many items: 64 bytes of doubles, so
// two threads never write the same cache line.
constexpr std::ptrdiff_t kRangeAlign = 8;
constexpr unsigned kStatusFlags = 0x3F;
// Work (items times weight) of one range handed to a thread: some 25
// microseconds in cache.
constexpr std::ptrdiff_t kChunkWork = 1 << 17;
constexpr std::ptrdiff_t kMaxParts = 4096;
// How long a worker that has finished its share keeps watching for the next
// call, and a caller that has finished its own for the workers, before
// sleeping: waking a sleeping thread costs tens of microseconds on a
// virtual machine, as long as a pass of a hundred thousand channels.
constexpr std::int64_t kSpinNanoseconds = 100'000;
// Sleeping workers are woken for a call of at least this much work (a few
// hundred microseconds), or when the previous split call ended less than
// twice the spin ago (calls back to back: the workers then stay awake).
// Other calls take the workers still watching, if any, and never pay for a
// wake-up: a control loop calling once a millisecond runs on its own thread.
constexpr std::ptrdiff_t kWakeWork = 1 << 20;
constexpr std::int64_t kRecentNanoseconds = 2 * kSpinNanoseconds;

std::int64_t now_ns() noexcept {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

// Polls done() for up to kSpinNanoseconds; true if it came true. Between
// rounds of polls it yields the CPU, so that on a machine with more busy
// threads than cores (processes in a pool, each with kernel threads) the
// watching thread gives way to the others, the one it waits for included.
template <class Done>
bool spin_until(const Done& done) noexcept {
  std::int64_t deadline = 0;
  for (unsigned round = 0;; ++round) {
    for (int k = 0; k < 64; ++k) {
      if (done()) return true;
      _mm_pause();
    }
    sched_yield();
    const std::int64_t now = now_ns();
    if (round == 0) {
      deadline = now + kSpinNanoseconds;
    } else if (now >= deadline) {
      return false;
    }
  }
}

std::atomic<int> threads_wanted{1};
// When the last split call ended (now_ns()).
std::atomic<std::int64_t> last_split{0};

int available_cpus() noexcept {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof(set), &set) == 0) return CPU_COUNT(&set);
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<int>(online) : 1;
}

// One split call: its ranges are handed out through `next`.
struct Job {
  RangeFunction fn;
  const void* context;
  std::ptrdiff_t items;
  int parts;
  int seats;  // workers that may join: the threads wanted, less the caller
  // The first `homes` parts (one per thread) are the threads' own: part 0
  // the caller's, part k the k-th worker to join. A thread runs its own
  // first, so a call split in as many parts as threads gives each thread
  // the same channels every time, and they stay in its caches; another
  // thread takes it only when its owner is late.
  int homes;
  unsigned csr;  // the caller's control bits, status flags clear
  std::atomic<std::uint64_t> claimed{0};  // a bit per home part
  std::atomic<int> next{0};  // counts the parts past the homes handed out
  std::atomic<int> done{0};
  std::atomic<unsigned> raised{0};
  // Changed under the pool's mutex; workers_inside is read without it by a
  // caller waiting for its workers.
  std::atomic<int> workers_inside{0};
  int workers_joined = 0;

  // Runs home part `home` if no one has, then the parts past the homes,
  // then any home part still unclaimed.
  void run_parts(int home) noexcept {
    const unsigned own = _mm_getcsr();
    if (claim(home)) run(home);
    for (int part = homes + next.fetch_add(1); part < parts; part = homes + next.fetch_add(1)) {
      run(part);
    }
    for (int part = 0; part < homes; ++part) {
      if (claim(part)) run(part);
    }
    _mm_setcsr(own);
  }

  bool claim(int part) noexcept {
    const std::uint64_t bit = std::uint64_t{1} << part;
    return (claimed.fetch_or(bit, std::memory_order_relaxed) & bit) == 0;
  }

  void run(int part) noexcept {
    _mm_setcsr(csr);
    fn(context, bound(part), bound(part + 1));
    raised.fetch_or(_mm_getcsr() & kStatusFlags, std::memory_order_relaxed);
    done.fetch_add(1, std::memory_order_release);
  }

  std::ptrdiff_t bound(int part) const noexcept {
    if (part == parts) return items;
    const std::ptrdiff_t at = items / parts * part;
    return at - at % kRangeAlign;
  }
};

// Plain POSIX threads, mutex and condition variables: libstdc++'s
// std::thread and condition_variable::wait carry symbol versions newer
// than manylinux2014 allows.
class Pool {
 public:
  explicit Pool(pid_t pid) noexcept : pid_(pid) {}
  pid_t pid() const noexcept { return pid_; }

  // Workers not sleeping: at work, or watching for the next call.
  int awake() const noexcept { return awake_.load(std::memory_order_relaxed); }

  // False when another caller's job has the pool: that call then runs on
  // its own thread instead of waiting. `wake`: wake sleeping workers too.
  bool try_run(Job& job, bool wake) noexcept {
    if (busy_.exchange(true, std::memory_order_acquire)) return false;
    pthread_mutex_lock(&mutex_);
    while (workers_ < job.seats && start_worker()) ++workers_;
    if (workers_ == 0) {
      pthread_mutex_unlock(&mutex_);
      busy_.store(false, std::memory_order_release);
      return false;
    }
    job_ = &job;
    generation_.fetch_add(1, std::memory_order_relaxed);
    if (wake) pthread_cond_broadcast(&wake_);
    pthread_mutex_unlock(&mutex_);
    job.run_parts(0);
    // No worker may still hold the job (it lives on the caller's stack).
    const auto finished = [&job] {
      return job.done.load(std::memory_order_acquire) == job.parts &&
             job.workers_inside.load(std::memory_order_acquire) == 0;
    };
    spin_until(finished);
    pthread_mutex_lock(&mutex_);
    while (!finished()) {
      pthread_cond_wait(&finished_, &mutex_);
    }
    job_ = nullptr;
    pthread_mutex_unlock(&mutex_);
    busy_.store(false, std::memory_order_release);
    return true;
  }

 private:
  bool start_worker() noexcept {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return false;
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    // No signal reaches a worker: they stay with the interpreter's threads.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    pthread_t thread;
    awake_.fetch_add(1, std::memory_order_relaxed);
    const bool started = pthread_create(&thread, &attr, &Pool::work, this) == 0;
    if (!started) awake_.fetch_sub(1, std::memory_order_relaxed);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    pthread_attr_destroy(&attr);
    return started;
  }

  static void* work(void* self) noexcept {
    Pool& pool = *static_cast<Pool*>(self);
    std::uint64_t seen = 0;
    for (;;) {
      if (seen != 0) {
        spin_until([&] { return pool.generation_.load(std::memory_order_relaxed) != seen; });
      }
      pthread_mutex_lock(&pool.mutex_);
      while (pool.generation_.load(std::memory_order_relaxed) == seen) {
        pool.awake_.fetch_sub(1, std::memory_order_relaxed);
        pthread_cond_wait(&pool.wake_, &pool.mutex_);
        pool.awake_.fetch_add(1, std::memory_order_relaxed);
      }
      seen = pool.generation_.load(std::memory_order_relaxed);
      Job* job = pool.job_;
      const bool join = job != nullptr && job->workers_joined < job->seats;
      const int home = join ? ++job->workers_joined : 0;
      if (join) ++job->workers_inside;
      pthread_mutex_unlock(&pool.mutex_);
      if (!join) continue;
      job->run_parts(home);
      pthread_mutex_lock(&pool.mutex_);
      job->workers_inside.fetch_sub(1, std::memory_order_release);
      pthread_cond_signal(&pool.finished_);
      pthread_mutex_unlock(&pool.mutex_);
    }
    return nullptr;
  }

  const pid_t pid_;
  std::atomic<bool> busy_{false};
  pthread_mutex_t mutex_ = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t wake_ = PTHREAD_COND_INITIALIZER;
  pthread_cond_t finished_ = PTHREAD_COND_INITIALIZER;
  Job* job_ = nullptr;
  // Written under the mutex; a worker watching for the next call reads it
  // without.
  std::atomic<std::uint64_t> generation_{0};
  int workers_ = 0;
  std::atomic<int> awake_{0};
};

// The pool of this process. Never freed: its workers wait on it until the
// process ends. A child made by fork() finds its parent's pool (whose
// threads it lacks, whose mutex may be held) and makes its own; the old
// one is left untouched.
std::atomic<Pool*> current_pool{nullptr};

Pool* pool() noexcept {
  const pid_t me = getpid();
  Pool* pool = current_pool.load(std::memory_order_acquire);
  if (pool != nullptr && pool->pid() == me) return pool;
  Pool* fresh = new (std::nothrow) Pool(me);
  if (fresh == nullptr) return nullptr;
  if (current_pool.compare_exchange_strong(pool, fresh, std::memory_order_acq_rel)) return fresh;
  delete fresh;  // another thread of this process made one first
  return pool;
}

}  // namespace

bool choose_kernel_threads() noexcept {
  const char* text = std::getenv("KOVAR_THREADS");
  char* end = nullptr;
  const long forced = text != nullptr ? std::strtol(text, &end, 10) : 0;
  if (text != nullptr && end != text && *end == '\0' && forced > 0) {
    set_kernel_threads(forced > kMaxThreads ? kMaxThreads : static_cast<int>(forced));
    return true;
  }
  const int cpus = available_cpus();
  set_kernel_threads(cpus < kDefaultMaxThreads ? cpus : kDefaultMaxThreads);
  return text == nullptr || text[0] == '\0';
}

int kernel_threads() noexcept { return threads_wanted.load(std::memory_order_relaxed); }

int set_kernel_threads(int threads) noexcept {
  threads = threads < 1 ? 1 : threads > kMaxThreads ? kMaxThreads : threads;
  threads_wanted.store(threads, std::memory_order_relaxed);
  return threads;
}

void split_over_threads(std::ptrdiff_t items, std::ptrdiff_t weight, RangeFunction fn,
                        const void* context) noexcept {
  // One thread per half of kParallelWork, so that the hand-over stays
  // small beside each share.
  constexpr std::ptrdiff_t kShare = kParallelWork / 2;
  const std::ptrdiff_t shares = items / ((kShare + weight - 1) / weight);
  const int wanted = kernel_threads();
  const int threads = shares < wanted ? static_cast<int>(shares) : wanted;
  if (threads > 1) {
    Job job;
    job.fn = fn;
    job.context = context;
    job.items = items;
    // Many small ranges rather than one per thread: a thread the OS does not
    // run (the machine is busy) then holds up no more than one range, and
    // the others take the rest.
    // Heavy items (a block of simulated channels, each a whole chunk of
    // steps) make fewer ranges: no more than one per kRangeAlign items,
    // which a range's start is rounded to.
    const std::ptrdiff_t chunks = std::min((items * weight + kChunkWork - 1) / kChunkWork,
                                           items / kRangeAlign);
    job.parts = static_cast<int>(chunks < threads ? threads : chunks > kMaxParts ? kMaxParts : chunks);
    job.seats = threads - 1;
    job.homes = threads;
    const unsigned caller = _mm_getcsr();
    job.csr = caller & ~kStatusFlags;
    const bool wake = items >= (kWakeWork + weight - 1) / weight ||
                      now_ns() - last_split.load(std::memory_order_relaxed) < kRecentNanoseconds;
    // Without a worker to wake or one awake, the call is the caller's own
    // (and asks no process id of the system). The pool seen here may be a
    // parent's: pool() replaces it.
    const Pool* seen = current_pool.load(std::memory_order_acquire);
    Pool* p = wake || (seen != nullptr && seen->awake() > 0) ? pool() : nullptr;
    if (p != nullptr && p->try_run(job, wake)) {
      _mm_setcsr(caller | job.raised.load(std::memory_order_relaxed));
      last_split.store(now_ns(), std::memory_order_relaxed);
      return;
    }
  }
  fn(context, 0, items);
  if (threads > 1) last_split.store(now_ns(), std::memory_order_relaxed);
}

}  // namespace kovar::kernels

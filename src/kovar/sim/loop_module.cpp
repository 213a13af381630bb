// kovar.sim._loop: the closed loop of kovar.sim.simulate in native code.
// kovar/sim/loop.py prepares every array (the plant's coefficients, the
// inputs, the measures' accumulators) and calls `run`, which checks them
// all, holds the bank through its capsule and runs the loop without the GIL,
// in chunks of steps between which signals are handled.
#include <cxxabi.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <new>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "kovar/common/bank_api.hpp"
#include "kovar/kernels/core_client.hpp"
#include "kovar/common/numpy_c_api.hpp"
#include "kovar/common/one_interpreter.hpp"
#include "kovar/common/owned_ref.hpp"
#include "kovar/common/python_compat.hpp"
#include "kovar/sim/closed_loop.hpp"

namespace kovar::sim {

namespace {

// A chunk of steps takes about this long: Ctrl-C is answered within it,
// and the GIL and the bank are taken back once per chunk, which costs
// nothing next to it.
constexpr std::chrono::microseconds kChunkTime{20'000};
// The first chunk's channel-steps: a few milliseconds at a few ns each.
constexpr std::int64_t kFirstChunkWork = std::int64_t{1} << 18;
// What a thread waiting for the bank is given to wake and take it between
// chunks (a fraction of a percent of a chunk).
constexpr std::chrono::microseconds kHandOver{50};

std::int64_t owner_interpreter = -1;
const bank_api::Api* bank_interface = nullptr;

// Calls `body` and turns a standard C++ exception that leaves it into the
// matching Python exception.
template <class Result, class Body>
[[gnu::noinline]] Result standard_guarded(Result failed, Body&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_SetString(PyExc_ValueError,
                    "the run is too large: a buffer of it (steps or channels, or the dead "
                    "times' delay line) is larger than a process can address");
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_RuntimeError, "kovar.sim failed: %s", e.what());
  }
  return failed;
}

// As standard_guarded, and any other C++ exception too, so that none
// reaches std::terminate through CPython's C frames. glibc's forced unwind
// (pthread_exit, with which CPython ends a thread that wants the GIL back
// during finalisation) must go on. It has no object, so the reference that
// catches it binds to none: the sanitizer's null check is off here (and
// only here: the body is not inlined into this function, nor this function
// into its callers).
template <class Result, class Body>
[[gnu::noinline, gnu::no_sanitize("null")]] Result guarded(Result failed, Body&& body) {
  try {
    return standard_guarded(failed, std::forward<Body>(body));
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "kovar.sim failed on an unknown C++ exception");
  }
  return failed;
}

bool fail(PyObject* type, const char* format, const char* name) {
  PyErr_Format(type, format, name);
  return false;
}

// An aligned, native-order array of `type_num` and exactly `count`
// elements, C-contiguous (and writeable when asked).
void* plain_array(PyObject* obj, const char* name, int type_num, npy_intp count, bool writeable) {
  if (!PyArray_Check(obj)) {
    fail(PyExc_TypeError, "%s must be an ndarray", name);
    return nullptr;
  }
  auto* a = reinterpret_cast<PyArrayObject*>(obj);
  if (PyArray_TYPE(a) != type_num || !PyArray_ISNOTSWAPPED(a) || !PyArray_ISALIGNED(a) ||
      !PyArray_IS_C_CONTIGUOUS(a)) {
    fail(PyExc_TypeError, "%s has the wrong dtype or layout", name);
    return nullptr;
  }
  if (PyArray_SIZE(a) != count) {
    fail(PyExc_ValueError, "%s has the wrong size", name);
    return nullptr;
  }
  if (writeable && !PyArray_ISWRITEABLE(a)) {
    fail(PyExc_ValueError, "%s is read-only", name);
    return nullptr;
  }
  return PyArray_DATA(a);
}

double* channel_doubles(PyObject* obj, const char* name, npy_intp n, bool writeable = false) {
  return static_cast<double*>(plain_array(obj, name, NPY_DOUBLE, n, writeable));
}

// A tuple of exactly `count` items.
bool items(PyObject* obj, const char* name, Py_ssize_t count) {
  if (!PyTuple_Check(obj) || PyTuple_GET_SIZE(obj) != count) {
    return fail(PyExc_TypeError, "%s must be a tuple of the right length", name);
  }
  return true;
}

// An input series (`name`): a float64 array of shape (steps, ...) with n
// elements per step, any strides.
bool read_series(PyObject* obj, const char* name, std::int64_t steps, npy_intp n, Series& series,
                 std::vector<std::ptrdiff_t>& offsets) {
  if (!PyArray_Check(obj)) return fail(PyExc_TypeError, "%s must be an ndarray", name);
  auto* a = reinterpret_cast<PyArrayObject*>(obj);
  if (PyArray_TYPE(a) != NPY_DOUBLE || !PyArray_ISNOTSWAPPED(a) || !PyArray_ISALIGNED(a)) {
    return fail(PyExc_TypeError, "%s has the wrong dtype or layout", name);
  }
  const int ndim = PyArray_NDIM(a);
  if (ndim < 1 || PyArray_DIM(a, 0) != steps) {
    return fail(PyExc_ValueError, "%s has the wrong shape", name);
  }
  npy_intp size = 1;
  bool uniform = true;
  bool contiguous = true;
  npy_intp expected = sizeof(double);
  for (int d = ndim - 1; d >= 1; --d) {
    size *= PyArray_DIM(a, d);
    if (PyArray_DIM(a, d) > 1) {
      uniform = uniform && PyArray_STRIDE(a, d) == 0;
      contiguous = contiguous && PyArray_STRIDE(a, d) == expected;
    }
    expected *= PyArray_DIM(a, d);
  }
  if (size != n) return fail(PyExc_ValueError, "%s has the wrong shape", name);
  series.data = static_cast<const char*>(PyArray_DATA(a));
  series.time_stride = PyArray_STRIDE(a, 0);
  series.offsets = nullptr;
  if (uniform) {
    series.layout = SeriesLayout::kUniform;
  } else if (contiguous) {
    series.layout = SeriesLayout::kContiguous;
  } else {
    series.layout = SeriesLayout::kGathered;
    offsets.resize(static_cast<std::size_t>(n));
    // C order over the channel axes: the last index moves fastest.
    std::vector<npy_intp> index(static_cast<std::size_t>(ndim), 0);
    std::ptrdiff_t offset = 0;
    for (npy_intp i = 0; i < n; ++i) {
      offsets[static_cast<std::size_t>(i)] = offset;
      for (int d = ndim - 1; d >= 1; --d) {
        offset += PyArray_STRIDE(a, d);
        if (++index[static_cast<std::size_t>(d)] < PyArray_DIM(a, d)) break;
        offset -= PyArray_STRIDE(a, d) * PyArray_DIM(a, d);
        index[static_cast<std::size_t>(d)] = 0;
      }
    }
    series.offsets = offsets.data();
  }
  return true;
}

// Ends the session, with the GIL held, however `run` returns.
struct HeldBank {
  bank_api::Session* session = nullptr;
  HeldBank() = default;
  HeldBank(const HeldBank&) = delete;
  HeldBank& operator=(const HeldBank&) = delete;
  ~HeldBank() { release(); }
  // Touches no Python object: may run without the GIL.
  void release() noexcept {
    if (session != nullptr) bank_interface->end(session);
    session = nullptr;
  }
};

enum Arg {
  kBankArg,
  kKindArg,
  kDtArg,
  kStepsArg,
  kDelayArg,
  kCoefficientsArg,
  kSetpointArg,
  kDrawsArg,
  kNoiseArg,
  kLoadArg,
  kLoadStartArg,
  kSumsArg,
  kStepsOutArg,
  kLevelsArg,
  kYOutArg,
  kUOutArg,
  kProgressArg,
  kFeedforwardArg,
  kTrackArg,
  kStartArg,
  kArgCount
};

const char run_doc[] =
    "run(*, bank, kind, dt, steps, d, coefficients, r, z, noise, load, load_start,\n"
    "    sums, marks, levels, y, u, progress, feedforward, track, start)\n"
    "--\n\n"
    "The closed loop of kovar.sim.simulate; see kovar/sim/loop.py.";

// The next chunk's steps, from how long the last one took.
std::int64_t next_chunk(std::int64_t chunk, std::chrono::steady_clock::duration took) {
  const double seconds = std::chrono::duration<double>(took).count();
  const double target = std::chrono::duration<double>(kChunkTime).count();
  // Grown at most fourfold at a time: a chunk timed on a busy machine may
  // be far too short or far too long.
  const double scale = seconds > 0.0 ? std::clamp(target / seconds, 0.25, 4.0) : 4.0;
  const double next = static_cast<double>(chunk) * scale;
  if (next >= 0x1p62) return std::int64_t{1} << 62;
  return std::max<std::int64_t>(1, static_cast<std::int64_t>(next));
}

PyObject* run(PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != kArgCount) {
    PyErr_Format(PyExc_TypeError, "run() takes %d positional arguments but %zd were given",
                 static_cast<int>(kArgCount), nargs);
    return nullptr;
  }
  // The numbers first: their conversions may run Python code (__index__,
  // __float__), which may resize an array of another argument. Every array
  // is checked and its data taken after them, and nothing after that runs
  // Python code until the first chunk has run.
  const long kind = PyLong_AsLong(args[kKindArg]);
  if (kind == -1 && PyErr_Occurred()) return nullptr;
  static constexpr int kCoefficientCount[] = {2, 6, 1};
  if (kind < 0 || kind > 2) {
    PyErr_SetString(PyExc_ValueError, "kind must be 0, 1 or 2");
    return nullptr;
  }
  const double dt = PyFloat_AsDouble(args[kDtArg]);
  if (dt == -1.0 && PyErr_Occurred()) return nullptr;
  if (!__builtin_isgreater(dt, 0.0) || __builtin_isinf(dt)) {
    PyErr_SetString(PyExc_ValueError, "dt must be a positive finite number");
    return nullptr;
  }
  const long long steps_ll = PyLong_AsLongLong(args[kStepsArg]);
  if (steps_ll == -1 && PyErr_Occurred()) return nullptr;
  if (steps_ll < 1) {
    PyErr_SetString(PyExc_ValueError, "steps must be at least 1");
    return nullptr;
  }
  const std::int64_t steps = steps_ll;
  const long long load_start = PyLong_AsLongLong(args[kLoadStartArg]);
  if (load_start == -1 && PyErr_Occurred()) return nullptr;
  PyObject* progress = args[kProgressArg];
  if (progress != Py_None && !PyCallable_Check(progress)) {
    PyErr_SetString(PyExc_TypeError, "progress must be None or callable");
    return nullptr;
  }

  // The channel count comes from d; the bank must have as many.
  if (!PyArray_Check(args[kDelayArg])) {
    PyErr_SetString(PyExc_TypeError, "d must be an ndarray");
    return nullptr;
  }
  const npy_intp n = PyArray_SIZE(reinterpret_cast<PyArrayObject*>(args[kDelayArg]));
  npy_intp total;
  if (__builtin_mul_overflow(n, static_cast<npy_intp>(steps), &total)) {
    PyErr_SetString(PyExc_ValueError, "steps x channels is too large");
    return nullptr;
  }
  const auto* d = static_cast<const std::int64_t*>(
      plain_array(args[kDelayArg], "d", NPY_INT64, n, false));
  if (d == nullptr) return nullptr;

  sim_kernel::Plants plants{};
  plants.kind = static_cast<sim_kernel::PlantKind>(kind);
  plants.n = static_cast<std::size_t>(n);
  PyObject* coefficients = args[kCoefficientsArg];
  if (!items(coefficients, "coefficients", kCoefficientCount[kind])) return nullptr;
  for (int c = 0; c < kCoefficientCount[kind]; ++c) {
    plants.coef[c] = channel_doubles(PyTuple_GET_ITEM(coefficients, c), "a coefficient", n);
    if (plants.coef[c] == nullptr) return nullptr;
  }

  LoopInputs in{};
  in.steps = steps;
  in.dt = dt;
  in.load_start = load_start;
  // The gathered series' channel offsets: r, load, feedforward, track.
  std::vector<std::ptrdiff_t> offsets[4];
  if (!read_series(args[kSetpointArg], "r", steps, n, in.r, offsets[0]) ||
      !read_series(args[kLoadArg], "load", steps, n, in.load, offsets[1])) {
    return nullptr;
  }
  in.has_feedforward = args[kFeedforwardArg] != Py_None;
  if (in.has_feedforward &&
      !read_series(args[kFeedforwardArg], "feedforward", steps, n, in.feedforward, offsets[2])) {
    return nullptr;
  }
  in.has_track = args[kTrackArg] != Py_None;
  if (in.has_track && !read_series(args[kTrackArg], "track", steps, n, in.track, offsets[3])) {
    return nullptr;
  }
  if (args[kDrawsArg] != Py_None) {
    in.z = channel_doubles(args[kDrawsArg], "z", total);
    if (in.z == nullptr) return nullptr;
  }
  in.noise = channel_doubles(args[kNoiseArg], "noise", n);
  if (in.noise == nullptr) return nullptr;
  // The plants' state before the first step: x, SOPDT's x1 (None for the
  // others) and the input before the run, which fills the dead times.
  PyObject* start = args[kStartArg];
  if (!items(start, "start", 3)) return nullptr;
  const double* x0 = channel_doubles(PyTuple_GET_ITEM(start, 0), "x", n);
  if (x0 == nullptr) return nullptr;
  const double* x1_0 = nullptr;
  if (kind == 1) {
    x1_0 = channel_doubles(PyTuple_GET_ITEM(start, 1), "x1", n);
    if (x1_0 == nullptr) return nullptr;
  }
  const double* fill = channel_doubles(PyTuple_GET_ITEM(start, 2), "fill", n);
  if (fill == nullptr) return nullptr;
  if (args[kYOutArg] != Py_None) {
    in.y_out = channel_doubles(args[kYOutArg], "y", total, true);
    if (in.y_out == nullptr) return nullptr;
  }
  if (args[kUOutArg] != Py_None) {
    in.u_out = channel_doubles(args[kUOutArg], "u", total, true);
    if (in.u_out == nullptr) return nullptr;
  }

  // The accumulators: iae, ise, itae, y_max, y_min, peak_u, u_variation;
  // the steps last_out, k10, k90; the levels band, lo, hi, sign, y0.
  sim_kernel::Measures m{};
  PyObject* sums = args[kSumsArg];
  PyObject* marks = args[kStepsOutArg];
  PyObject* levels = args[kLevelsArg];
  if (!items(sums, "sums", 7) || !items(marks, "marks", 3) || !items(levels, "levels", 5)) {
    return nullptr;
  }
  double** sum_fields[] = {&m.iae, &m.ise, &m.itae, &m.y_max, &m.y_min, &m.peak_u,
                           &m.u_variation};
  for (int f = 0; f < 7; ++f) {
    *sum_fields[f] = channel_doubles(PyTuple_GET_ITEM(sums, f), "a measure", n, true);
    if (*sum_fields[f] == nullptr) return nullptr;
  }
  std::int64_t** mark_fields[] = {&m.last_out, &m.k10, &m.k90};
  for (int f = 0; f < 3; ++f) {
    *mark_fields[f] = static_cast<std::int64_t*>(
        plain_array(PyTuple_GET_ITEM(marks, f), "a measure", NPY_INT64, n, true));
    if (*mark_fields[f] == nullptr) return nullptr;
  }
  const double** level_fields[] = {&m.band, &m.lo, &m.hi, &m.sign, &m.y0};
  for (int f = 0; f < 5; ++f) {
    *level_fields[f] = channel_doubles(PyTuple_GET_ITEM(levels, f), "a level", n);
    if (*level_fields[f] == nullptr) return nullptr;
  }

  // A dead time of `steps` samples or more feeds the run nothing but the 0
  // of rest: it is marked beyond the run and takes no place in the ring,
  // which holds only the longest dead time the run reaches past.
  std::vector<std::int64_t> delays(static_cast<std::size_t>(n));
  std::int64_t longest = 0;
  for (npy_intp i = 0; i < n; ++i) {
    if (d[i] < 0) {
      PyErr_SetString(PyExc_ValueError, "d must not be negative");
      return nullptr;
    }
    const std::int64_t delay = d[i] < steps ? d[i] : sim_kernel::kBeyondTheRun;
    delays[static_cast<std::size_t>(i)] = delay;
    longest = std::max(longest, delay);
  }
  plants.d = delays.data();
  plants.slots = static_cast<std::size_t>(longest) + 1;
  plants.uniform_d = std::all_of(delays.begin(), delays.end(),
                                 [&](std::int64_t v) { return v == delays[0]; });
  std::vector<double> x(x0, x0 + n);
  std::vector<double> x1;
  if (x1_0 != nullptr) x1.assign(x1_0, x1_0 + n);
  std::vector<double> ring;
  if (plants.slots > 1 || !plants.uniform_d) {
    ring.resize(plants.slots * static_cast<std::size_t>(n));
    for (std::size_t slot = 0; slot < plants.slots; ++slot) {
      std::copy_n(fill, n, ring.data() + slot * static_cast<std::size_t>(n));
    }
  }
  // Kept here, as the states are: it is read throughout the run.
  std::vector<double> before(fill, fill + n);
  plants.x = x.data();
  plants.x1 = x1.data();
  plants.ring = ring.data();
  plants.fill = before.data();
  LoopScratch scratch(static_cast<std::size_t>(n), in.u_out != nullptr);

  // Chunk by chunk: each holds the bank for its steps, with the GIL
  // released; between chunks the bank is let go, so that signal handlers,
  // `progress` and other threads' calls on it run (a call made there acts
  // between two whole steps of every channel, and the run goes on from the
  // bank that call leaves). On an exception there the run stops with the
  // bank and the plants `done` steps on.
  PyObject* bank = args[kBankArg];
  std::int64_t chunk = n == 0 ? steps : std::max<std::int64_t>(1, kFirstChunkWork / n);
  for (std::int64_t done = 0; done < steps;) {
    const std::int64_t until = done + std::min(chunk, steps - done);
    std::chrono::steady_clock::duration took;
    {
      HeldBank held;
      held.session = bank_interface->begin(bank);
      if (held.session == nullptr) return nullptr;
      if (bank_interface->channels(held.session) != static_cast<std::size_t>(n)) {
        PyErr_SetString(PyExc_RuntimeError, "the bank was configured during the call");
        return nullptr;
      }
      const auto start = std::chrono::steady_clock::now();
      // The one place the GIL is released: once per chunk. The bank is let
      // go before the GIL is asked back, and a thread woken waiting for it
      // is given the time to take it; else this thread, back first, would
      // take it again every time.
      Py_BEGIN_ALLOW_THREADS run_closed_loop(*bank_interface, held.session, in, plants, m, scratch,
                                             done, until);
      took = std::chrono::steady_clock::now() - start;
      held.release();
      if (until < steps) std::this_thread::sleep_for(kHandOver);
      Py_END_ALLOW_THREADS
    }
    done = until;
    chunk = next_chunk(chunk, took);
    if (progress != Py_None) {
      Ref count = Ref::steal(PyLong_FromLongLong(done));
      if (!count || !Ref::steal(PyObject_CallOneArg(progress, count.get()))) return nullptr;
    }
    // After the last chunk a signal is the interpreter's to handle: the run
    // is whole.
    if (done < steps && PyErr_CheckSignals() < 0) return nullptr;
  }
  Py_RETURN_NONE;
}

// The arguments by name, in the order of Arg.
const char* const kArgNames[kArgCount + 1] = {
    "bank", "kind", "dt", "steps", "d", "coefficients", "r", "z", "noise", "load", "load_start",
    "sums", "marks", "levels", "y", "u", "progress", "feedforward", "track", "start", nullptr};

// Every argument by keyword, none positional, none left out.
PyObject* run_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static_assert(kArgCount == 20, "one O per argument below");
    PyObject* slots[kArgCount] = {};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$OOOOOOOOOOOOOOOOOOOO:run",
                                     const_cast<char**>(kArgNames), &slots[0], &slots[1],
                                     &slots[2], &slots[3], &slots[4], &slots[5], &slots[6],
                                     &slots[7], &slots[8], &slots[9], &slots[10], &slots[11],
                                     &slots[12], &slots[13], &slots[14], &slots[15], &slots[16],
                                     &slots[17], &slots[18], &slots[19])) {
      return nullptr;
    }
    for (int arg = 0; arg < kArgCount; ++arg) {
      if (slots[arg] == nullptr) {
        PyErr_Format(PyExc_TypeError, "run() missing required keyword argument '%s'",
                     kArgNames[arg]);
        return nullptr;
      }
    }
    return run(slots, kArgCount);
  });
}

PyMethodDef module_methods[] = {
    {"run", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(run_entry)),
     METH_VARARGS | METH_KEYWORDS, run_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* module_create(PyObject* module_spec, PyModuleDef*) {
  return guarded<PyObject*>(nullptr, [&] {
    return create_in_one_interpreter(module_spec, owner_interpreter);
  });
}

int exec(PyObject* module) {
  ndarray::NumpyVersions versions;
  if (!ndarray::bind_c_api(versions) || !kernels::bind_core() || !watch_interpreter_exit()) {
    return -1;
  }
  if (bank_interface == nullptr) {
    auto* api = static_cast<const bank_api::Api*>(
        PyCapsule_Import(bank_api::kCapsuleName, 0));
    if (api == nullptr) return -1;
    if (api->version != bank_api::kVersion) {
      PyErr_SetString(PyExc_ImportError, "kovar.bank's C interface is of another version");
      return -1;
    }
    // The capsule points at a table that lives as long as kovar.bank,
    // which is never unloaded.
    bank_interface = api;
  }
  return PyModule_AddFunctions(module, module_methods);
}

int module_exec(PyObject* module) {
  return guarded(-1, [&] { return exec(module); });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    KOVAR_ONE_INTERPRETER_SLOT
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "kovar.sim._loop",
    "The native closed loop behind kovar.sim.simulate.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace kovar::sim

PyMODINIT_FUNC PyInit__loop() { return PyModuleDef_Init(&kovar::sim::module_def); }

#include "kovar/regulo/controllers/fast_path.hpp"

#include <cstdint>
#include <cstring>
#include <utility>

#include "kovar/kernels/adaptive_kernel.hpp"
#include "kovar/kernels/fp_status.hpp"
#include "kovar/kernels/pid_kernel.hpp"
#include "kovar/kernels/undo_record.hpp"
#include "kovar/regulo/module_state.hpp"
#include "kovar/common/numpy_c_api.hpp"
#include "kovar/common/python_compat.hpp"

namespace kovar::fast_path {

namespace {

// NumPy 1.x lets a program replace the operators arrays use
// (set_numeric_ops), and nothing cheap tells whether it did; its np.clip
// also rounds ties another way. The kernels stand in for NumPy 2.x only.
constexpr unsigned int kNumpy2FeatureVersion = 0x12;

// NumPy's own loops release the GIL above this many elements.
constexpr npy_intp kReleaseGilAbove = 500;

// Up to this many doubles, the undo record lives on the stack.
constexpr npy_intp kLocalUndo = 768;

// The NumPy functions a call of the step sequence reaches through np.
constexpr unsigned kZerosLike = 1;
constexpr unsigned kRoll = 2;
constexpr unsigned kMean = 4;
constexpr unsigned kClip = 8;

bool is_original(const ModuleState& st, PyObject* name, PyObject* original) {
  PyObject* current = PyDict_GetItemWithError(st.numpy_dict, name);
  if (current == nullptr) PyErr_Clear();
  return current == original;
}

// True when the step sequence would run NumPy exactly as the kernels
// assume: NumPy 2.x, no profiler or tracer on this thread and, when the
// steps call NumPy's Python-level functions, no monitoring tool that would
// see them run; np in the module still NumPy and each function in `uses`
// still NumPy's own.
bool numpy_as_imported(unsigned uses) {
  const ModuleState& st = state();
  if (st.numpy_feature_version < kNumpy2FeatureVersion || st.numpy_module == nullptr) return false;
  const PyThreadState* thread = PyThreadState_Get();
  if (thread->c_profilefunc != nullptr || thread->c_tracefunc != nullptr) return false;
  if (uses == 0) return true;
  if (compat::monitoring_active()) return false;
  Ref np = lookup_global(names().np, state().np_cache);
  if (!np) {
    PyErr_Clear();  // the step sequence looks it up again and raises
    return false;
  }
  if (np.get() != st.numpy_module || Py_TYPE(np.get()) != &PyModule_Type) return false;
  const Names& n = names();
  return (!(uses & kZerosLike) || is_original(st, n.zeros_like, st.numpy_zeros_like)) &&
         (!(uses & kRoll) || is_original(st, n.roll, st.numpy_roll)) &&
         (!(uses & kMean) || is_original(st, n.mean, st.numpy_mean)) &&
         (!(uses & kClip) || is_original(st, n.clip, st.numpy_clip));
}

// Native-order float64 without metadata: the dtype every result of the
// steps has, and passes on unchanged.
bool plain_float64(PyArray_Descr* descr) {
  return descr->type_num == NPY_DOUBLE && PyArray_ISNBO(descr->byteorder) &&
         PyDataType_METADATA(descr) == nullptr;
}

// `obj` as an exact ndarray of plain float64 in `ndim` dimensions,
// C-contiguous and aligned and, for an array updated in place, writeable
// without a pending writeback. Null when it is not.
PyArrayObject* operand(PyObject* obj, int ndim, bool in_place = false) {
  if (Py_TYPE(obj) != ndarray_type()) return nullptr;
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  if (PyArray_NDIM(array) != ndim || !plain_float64(PyArray_DESCR(array))) return nullptr;
  const int flags = PyArray_FLAGS(array);
  const int required =
      NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | (in_place ? NPY_ARRAY_WRITEABLE : 0);
  if ((flags & required) != required) return nullptr;
  if (in_place && (flags & NPY_ARRAY_WRITEBACKIFCOPY) != 0) return nullptr;
  return array;
}

bool same_shape(PyArrayObject* a, PyArrayObject* b) {
  const int ndim = PyArray_NDIM(a);
  return ndim == PyArray_NDIM(b) &&
         std::memcmp(PyArray_DIMS(a), PyArray_DIMS(b), sizeof(npy_intp) * ndim) == 0;
}

// Whether the bytes of two arrays (contiguous) share any address.
bool overlap(PyArrayObject* a, PyArrayObject* b) {
  const auto begin_a = reinterpret_cast<std::uintptr_t>(PyArray_DATA(a));
  const auto begin_b = reinterpret_cast<std::uintptr_t>(PyArray_DATA(b));
  const auto size_a = static_cast<std::uintptr_t>(PyArray_NBYTES(a));
  const auto size_b = static_cast<std::uintptr_t>(PyArray_NBYTES(b));
  if (size_a == 0 || size_b == 0) return false;
  return begin_a < begin_b + size_b && begin_b < begin_a + size_a;
}

bool overlaps_any(PyArrayObject* a, std::initializer_list<PyArrayObject*> others) {
  for (PyArrayObject* other : others) {
    if (overlap(a, other)) return true;
  }
  return false;
}

// True when `references` are all the references to `obj`, and it has no
// weak ones.
bool referenced_only_by(PyObject* obj, Py_ssize_t references) {
  const Py_ssize_t weaklist_offset = Py_TYPE(obj)->tp_weaklistoffset;
  return Py_REFCNT(obj) == references &&
         !(weaklist_offset > 0 &&
           *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + weaklist_offset));
}

// True when `references` (a controller field, our own reference) are all
// that can see `array` and its memory: no other reference, no weak
// reference, no base object owning the memory. It may then be changed in
// place where the step sequence would have made a new array in its stead.
bool seen_only_by(PyArrayObject* array, Py_ssize_t references) {
  const int flags = PyArray_FLAGS(array);
  return referenced_only_by(reinterpret_cast<PyObject*>(array), references) &&
         PyArray_BASE(array) == nullptr &&
         (flags & (NPY_ARRAY_OWNDATA | NPY_ARRAY_WRITEABLE)) ==
             (NPY_ARRAY_OWNDATA | NPY_ARRAY_WRITEABLE) &&
         (flags & NPY_ARRAY_WRITEBACKIFCOPY) == 0;
}

// A new C-ordered array shaped `dims`, of the dtype instance `like` has (as
// NumPy's loops and copies hand it on), through NumPy's allocator. Null,
// with no exception left set, when it cannot be made.
Ref new_array(PyArrayObject* like, int ndim, const npy_intp* dims) {
  PyArray_Descr* descr = PyArray_DESCR(like);
  Py_INCREF(descr);  // PyArray_NewFromDescr takes this reference, even on failure
  Ref array = Ref::steal(
      PyArray_NewFromDescr(ndarray_type(), descr, ndim, dims, nullptr, nullptr, 0, nullptr));
  if (!array) PyErr_Clear();  // the step sequence runs and raises its own
  return array;
}

double* data(const Ref& array) {
  return static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
}
double* data(PyArrayObject* array) { return static_cast<double*>(PyArray_DATA(array)); }

// What undoes the kernels' in-place updates until the FP status says they
// stand: the values they could not take back by subtraction, and the bitmap
// that marks them (see kernels/undo_record.hpp), cleared here. Small
// records live on the stack; large ones in a buffer of the calling thread,
// kept for its next call: a fresh multi-megabyte record per call would
// cost a page fault per 4 KiB. Nothing that runs between taking the record
// and the end of the kernel can re-enter this code.
class UndoRecord {
 public:
  UndoRecord(npy_intp doubles, npy_intp channels)
      : doubles_(doubles), total_(doubles + (kernels::kept_bytes(channels) + 7) / 8) {
    if (total_ > kLocalUndo && total_ > spill_.capacity) {
      PyMem_RawFree(spill_.data);
      spill_.data = static_cast<double*>(PyMem_RawMalloc(static_cast<std::size_t>(total_) * 8));
      spill_.capacity = spill_.data != nullptr ? total_ : 0;
    }
    if (get() != nullptr) {
      std::memset(kept(), 0, static_cast<std::size_t>(kernels::kept_bytes(channels)));
    }
  }
  UndoRecord(const UndoRecord&) = delete;
  UndoRecord& operator=(const UndoRecord&) = delete;
  // Null when the buffer could not be had.
  double* get() noexcept { return total_ <= kLocalUndo ? local_ : spill_.data; }
  unsigned char* kept() noexcept { return reinterpret_cast<unsigned char*>(get() + doubles_); }

 private:
  struct Spill {
    double* data = nullptr;
    npy_intp capacity = 0;
    ~Spill() { PyMem_RawFree(data); }
  };
  static thread_local Spill spill_;
  npy_intp doubles_;
  npy_intp total_;
  double local_[kLocalUndo];
};

thread_local UndoRecord::Spill UndoRecord::spill_;

// Whether run_kernel lets other threads run while it works on `elements`.
bool releases_gil(npy_intp elements) { return elements > kReleaseGilAbove; }

// Runs the kernel between a clear and a test of the FP status flags, without
// the GIL for large banks; undoes its in-place updates when invalid,
// divide-by-zero, overflow or underflow was raised. True when it stands.
template <typename Channels, typename Step, typename Undo>
bool run_kernel(const Channels& channels, npy_intp elements, Step step, Undo undo) {
  bool raised;
  if (releases_gil(elements)) {
    Py_BEGIN_ALLOW_THREADS;
    kernels::clear_fp_status();
    step(channels);
    raised = kernels::fp_exception_raised();
    if (raised) undo(channels);
    Py_END_ALLOW_THREADS;
  } else {
    kernels::clear_fp_status();
    step(channels);
    raised = kernels::fp_exception_raised();
    if (raised) undo(channels);
  }
  return !raised;
}

// The error kept as previous_error, which the steps would make afresh on
// every call and drop on the next: when the one a call replaces is seen by
// nothing else (our reference alone, no weak reference, memory of its own),
// the module keeps it as a spare, and the next call whose array has its
// shape and dtype instance writes into it instead of allocating.
// Spares are taken and given back with the GIL held.
Ref spare_or_new(PyObject*& spare_slot, PyArrayObject* like, int ndim, const npy_intp* dims) {
  Ref spare = Ref::steal(std::exchange(spare_slot, nullptr));
  if (spare) {
    // Kept from a call over other arrays, it may differ in shape or dtype
    // instance (or in flags, had someone changed them while it was a field).
    PyArrayObject* array = operand(spare.get(), ndim, true);
    if (array != nullptr && PyArray_DESCR(array) == PyArray_DESCR(like) &&
        std::memcmp(PyArray_DIMS(array), dims, sizeof(npy_intp) * ndim) == 0) {
      return spare;
    }
  }
  return new_array(like, ndim, dims);
}

// Keeps `array` as the spare when nothing but `array` itself holds it.
void keep_spare(PyObject*& spare_slot, Ref array) {
  if (seen_only_by(reinterpret_cast<PyArrayObject*>(array.get()), 1)) {
    Py_XSETREF(spare_slot, array.release());
  }
}

// A large history lives as a window of ten rows in an array of kRingRows
// rows of our own, which nothing but the window refers to. A call moves the
// window up one row and writes the new row 0 there: rows 1..9 are the old
// rows 0..8 already, so a call writes one row of the history instead of
// ten, and the field still gets a new (10, n) array, as np.roll gives.
// At the top of the array the window goes back to the bottom, its rows
// copied there by the call. Every row a call writes lies outside the window
// the field held: another thread taking the history (__reduce__,
// copy.copy) while the pass works without the GIL gets rows no later call
// changes, and a call never writes an array anyone else can see.
constexpr npy_intp kRingRows = 2 * kernels::kHistoryRows;

struct Ring {
  PyArrayObject* rows = nullptr;  // the (kRingRows, n) array
  npy_intp top = 0;               // the window's first row
};

// The ring whose window `history` is, when the field and our own reference
// are all that see the window and the window is all that sees the ring;
// null rows otherwise.
Ring ring_of(PyArrayObject* history) {
  PyObject* base = PyArray_BASE(history);
  if (base == nullptr || !referenced_only_by(reinterpret_cast<PyObject*>(history), 2)) return {};
  PyArrayObject* rows = operand(base, 2, true);
  const npy_intp n = PyArray_DIM(history, 1);
  if (rows == nullptr || !seen_only_by(rows, 1) || PyArray_DIM(rows, 0) != kRingRows ||
      PyArray_DIM(rows, 1) != n || PyArray_DESCR(rows) != PyArray_DESCR(history)) {
    return {};
  }
  const auto offset = reinterpret_cast<std::uintptr_t>(PyArray_DATA(history)) -
                      reinterpret_cast<std::uintptr_t>(PyArray_DATA(rows));
  const auto row_bytes = static_cast<std::uintptr_t>(n) * sizeof(double);
  if (n == 0 || offset % row_bytes != 0 ||
      offset / row_bytes > static_cast<std::uintptr_t>(kRingRows - kernels::kHistoryRows)) {
    return {};
  }
  return {rows, static_cast<npy_intp>(offset / row_bytes)};
}

// Rows [top, top + 10) of `rows` as a new array that keeps `rows` alive,
// of the dtype instance `like` has.
Ref window(PyArrayObject* rows, npy_intp top, PyArrayObject* like) {
  PyArray_Descr* descr = PyArray_DESCR(like);
  Py_INCREF(descr);  // PyArray_NewFromDescr takes this reference, even on failure
  npy_intp dims[2] = {kernels::kHistoryRows, PyArray_DIM(rows, 1)};
  Ref view = Ref::steal(PyArray_NewFromDescr(ndarray_type(), descr, 2, dims, nullptr,
                                             data(rows) + top * dims[1], NPY_ARRAY_CARRAY,
                                             nullptr));
  if (view) {
    // takes this reference to `rows`, even on failure
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(view.get()),
                              Py_NewRef(reinterpret_cast<PyObject*>(rows))) < 0) {
      view = Ref();
    }
  }
  if (!view) PyErr_Clear();  // the step sequence runs and raises its own
  return view;
}

// The window the call rolls `history` into: one row up its ring, or from
// the top back to the bottom, into rows the old window does not hold
// (kRingRows is twice the history's); for a history in no ring of its own
// (or one that overlaps `others`), the bottom of a new ring. Null, with no
// exception left set, when it cannot be made.
Ref next_window(PyArrayObject* history, std::initializer_list<PyArrayObject*> others) {
  Ring ring = ring_of(history);
  Ref new_ring;
  if (!ring.rows || overlaps_any(ring.rows, others)) {
    const npy_intp dims[2] = {kRingRows, PyArray_DIM(history, 1)};
    new_ring = new_array(history, 2, dims);
    if (!new_ring) return {};
    ring = {reinterpret_cast<PyArrayObject*>(new_ring.get()), 0};  // as if at the top
  }
  const npy_intp top = ring.top > 0 ? ring.top - 1 : kRingRows - kernels::kHistoryRows;
  return window(ring.rows, top, history);
}

}  // namespace

void capture_numpy(PyObject* numpy) {
  ModuleState& st = state();
  const Names& n = names();
  PyObject* dict = PyModule_Check(numpy) ? PyModule_GetDict(numpy) : nullptr;
  PyObject* functions[] = {
      dict ? PyDict_GetItemWithError(dict, n.zeros_like) : nullptr,
      dict ? PyDict_GetItemWithError(dict, n.roll) : nullptr,
      dict ? PyDict_GetItemWithError(dict, n.mean) : nullptr,
      dict ? PyDict_GetItemWithError(dict, n.clip) : nullptr,
  };
  PyErr_Clear();
  for (PyObject* function : functions) {
    if (function == nullptr) return;  // no fast path
  }
  Py_XSETREF(st.numpy_zeros_like, Py_NewRef(functions[0]));
  Py_XSETREF(st.numpy_roll, Py_NewRef(functions[1]));
  Py_XSETREF(st.numpy_mean, Py_NewRef(functions[2]));
  Py_XSETREF(st.numpy_clip, Py_NewRef(functions[3]));
  Py_XSETREF(st.numpy_dict, Py_NewRef(dict));
  Py_XSETREF(st.numpy_module, Py_NewRef(numpy));
}

Ref pid_compute(PidObject* self, PyObject* target, PyObject* current, double dt, int ndim) {
  const bool positive_dt = __builtin_isgreater(dt, 0.0);
  if (!numpy_as_imported(positive_dt ? 0u : kZerosLike)) return {};
  // References of our own: the arrays outlive the call whatever runs
  // meanwhile (the GIL is released around large loops).
  const Ref kp_ref = Ref::borrow(self->kp), ki_ref = Ref::borrow(self->ki),
            kd_ref = Ref::borrow(self->kd), integral_ref = Ref::borrow(self->integral);
  Ref previous_ref = Ref::borrow(self->previous_error);
  PyArrayObject* t = operand(target, ndim);
  PyArrayObject* c = operand(current, ndim);
  PyArrayObject* kp = operand(kp_ref.get(), ndim);
  PyArrayObject* ki = operand(ki_ref.get(), ndim);
  PyArrayObject* kd = operand(kd_ref.get(), ndim);
  PyArrayObject* integral = operand(integral_ref.get(), ndim, true);
  PyArrayObject* previous = operand(previous_ref.get(), ndim);
  if (!t || !c || !kp || !ki || !kd || !integral || !previous) return {};
  for (PyArrayObject* a : {c, kp, ki, kd, integral, previous}) {
    if (!same_shape(t, a)) return {};
  }
  if (overlaps_any(integral, {t, c, kp, ki, kd, previous})) return {};

  // error = target - current takes target's dtype, the signal kp's.
  Ref error = spare_or_new(state().spare_error, t, ndim, PyArray_DIMS(t));
  if (!error) return {};
  Ref control = new_array(kp, ndim, PyArray_DIMS(t));
  if (!control) return {};
  const npy_intp n = PyArray_SIZE(t);
  UndoRecord undo(n, n);
  if (undo.get() == nullptr) return {};

  const kernels::PidChannels channels = {
      data(t),        data(c),     data(kp),      data(ki),    data(kd),    data(previous),
      data(integral), data(error), data(control), undo.get(), undo.kept(), n,
      dt};
  if (!run_kernel(channels, n, kernels::pid_step, kernels::pid_undo)) {
    keep_spare(state().spare_error, std::move(error));
    return {};
  }

  // previous_error becomes the very error array of this call.
  store(self->previous_error, error.get());
  keep_spare(state().spare_error, std::move(previous_ref));
  return control;
}

Ref adaptive_compute(AdaptiveObject* self, PyObject* target, PyObject* current, double dt) {
  const bool positive_dt = __builtin_isgreater(dt, 0.0);
  if (!numpy_as_imported(kRoll | kMean | kClip | (positive_dt ? 0u : kZerosLike))) return {};
  const Ref learning_rate = Ref::borrow(self->learning_rate),
            max_adjustment = Ref::borrow(self->max_adjustment);
  if (!PyFloat_CheckExact(learning_rate.get()) || !PyFloat_CheckExact(max_adjustment.get())) {
    return {};
  }
  const Ref kp_ref = Ref::borrow(self->kp), ki_ref = Ref::borrow(self->ki),
            kd_ref = Ref::borrow(self->kd), integral_ref = Ref::borrow(self->integral);
  Ref previous_ref = Ref::borrow(self->previous_error);
  Ref history_ref = Ref::borrow(self->error_history);
  PyArrayObject* t = operand(target, 1);
  PyArrayObject* c = operand(current, 1);
  PyArrayObject* kp = operand(kp_ref.get(), 1, true);
  PyArrayObject* ki = operand(ki_ref.get(), 1);
  PyArrayObject* kd = operand(kd_ref.get(), 1);
  PyArrayObject* integral = operand(integral_ref.get(), 1, true);
  PyArrayObject* previous = operand(previous_ref.get(), 1);
  PyArrayObject* history = operand(history_ref.get(), 2);
  if (!t || !c || !kp || !ki || !kd || !integral || !previous || !history) return {};
  for (PyArrayObject* a : {c, kp, ki, kd, integral, previous}) {
    if (!same_shape(t, a)) return {};
  }
  const npy_intp n = PyArray_DIM(t, 0);
  if (PyArray_DIM(history, 0) != kernels::kHistoryRows || PyArray_DIM(history, 1) != n) return {};
  if (overlaps_any(kp, {t, c, ki, kd, integral, previous, history}) ||
      overlaps_any(integral, {t, c, ki, kd, previous, history})) {
    return {};
  }

  // np.roll makes a new history. A small one that nothing else can see (our
  // reference and the field's alone, no weak references, memory of its own)
  // is rolled in place instead: no other thread runs meanwhile. A large one
  // (the pass lets go of the GIL) moves up its ring (see Ring), or, seen by
  // something else or not yet in a ring, is rolled into the bottom of a new
  // one.
  const npy_intp elements = kernels::kHistoryRows * n;
  const bool large = releases_gil(elements);
  const bool roll_in_place = !large && seen_only_by(history, 2) &&
                             !overlaps_any(history, {t, c, ki, kd, previous});
  Ref new_history;
  if (large) {
    new_history = next_window(history, {t, c, ki, kd, previous, kp, integral});
  } else if (!roll_in_place) {
    new_history = new_array(history, 2, PyArray_DIMS(history));
  }
  if (!roll_in_place && !new_history) return {};
  // previous_error becomes error.copy(), of error's (so target's) dtype.
  Ref error_copy = spare_or_new(state().spare_error, t, 1, &n);
  if (!error_copy) return {};
  Ref control = new_array(kp, 1, &n);
  if (!control) return {};
  UndoRecord undo(3 * n, n);
  if (undo.get() == nullptr) return {};

  const double upper = PyFloat_AS_DOUBLE(max_adjustment.get());
  const kernels::AdaptiveChannels channels = {
      data(t),
      data(c),
      data(ki),
      data(kd),
      data(previous),
      data(kp),
      data(integral),
      data(history),
      roll_in_place ? data(history) : data(new_history),
      data(error_copy),
      data(control),
      undo.get(),
      undo.kept(),
      n,
      dt,
      PyFloat_AS_DOUBLE(learning_rate.get()),
      -upper,
      upper,
  };
  if (!run_kernel(channels, elements, kernels::adaptive_step, kernels::adaptive_undo)) {
    keep_spare(state().spare_error, std::move(error_copy));
    return {};
  }

  // The fields change in the steps' order: history, then previous_error.
  if (!roll_in_place) store(self->error_history, new_history.get());
  store(self->previous_error, error_copy.get());
  keep_spare(state().spare_error, std::move(previous_ref));
  return control;
}

}  // namespace kovar::fast_path

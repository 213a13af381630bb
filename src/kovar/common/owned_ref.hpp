// The one owned-reference type of the module.
//
// Every reference the code owns lives in a Ref: it is released when the Ref
// goes out of scope, so an early return on an error path cannot leak it.
// Raw PyObject* appears only at slot signatures and for borrowed values.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

#include "kovar/common/interpreter_exit.hpp"

namespace kovar {

class Ref {
 public:
  Ref() noexcept = default;
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
  Ref& operator=(Ref&& other) noexcept {
    Ref old(std::move(*this));
    p_ = other.p_;
    other.p_ = nullptr;
    return *this;
  }
  // A thread torn down by the interpreter's exit keeps what it held (see
  // interpreter_exit.hpp).
  ~Ref() {
    if (p_ != nullptr && may_touch_python()) Py_DECREF(p_);
  }

  // Takes over a new reference (or null, which marks a failed call).
  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  // Takes a reference of its own to a borrowed object (null stays null).
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }

  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }

  // Hands the reference to the caller, who now owns it.
  [[nodiscard]] PyObject* release() noexcept {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }
  // Hands out a new reference and keeps this one.
  PyObject* new_ref() const noexcept {
    Py_XINCREF(p_);
    return p_;
  }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

// Replaces the object held in an owned slot (a field of a controller) by a
// new reference to `value`, releasing the old one only after the store, so
// that code run by the release sees the slot already updated.
inline void store(PyObject*& slot, PyObject* value) noexcept {
  Py_INCREF(value);
  Py_XSETREF(slot, value);
}
inline void store(PyObject*& slot, Ref&& value) noexcept { Py_XSETREF(slot, value.release()); }

}  // namespace kovar

// The bank's C interface for other kovar modules (see
// kovar/kernels/bank_capsule.hpp): sessions that hold a bank's lock across
// many updates, made of the same pieces as PIDBank.update.
#include <new>

#include "kovar/bank/pid_bank.hpp"

namespace kovar::bank_capsule {

struct Session {
  explicit Session(bank::BankObject* b) : bank(b), lock(b) {}
  bank::BankObject* bank;
  bank::BankLock lock;
  // The flags when the session began: every run starts from them, since
  // a run over some channels says nothing of the others.
  bool any_flagged = false;
  bool terms_derived = false;
  bool feedforward_zero = false;
  // Runs merged over part of the channels, and what they reported.
  std::size_t partial_channels = 0;
  bool partial_flagged = false;
};

}  // namespace kovar::bank_capsule

namespace kovar::bank {

namespace {

using bank_capsule::ChannelRun;
using bank_capsule::Session;

// PIDBank, kept for the life of the process (one interpreter loads the
// module).
PyObject* bank_type = nullptr;

Session* begin(PyObject* obj) {
  if (!PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(bank_type))) {
    PyErr_Format(PyExc_TypeError, "bank must be a kovar.bank.PIDBank, not %.100s",
                 Py_TYPE(obj)->tp_name);
    return nullptr;
  }
  auto* bank = reinterpret_cast<BankObject*>(obj);
  // The caller holds `obj` for the session.
  auto* session = new (std::nothrow) Session(bank);
  if (session == nullptr) {
    PyErr_NoMemory();
    return nullptr;
  }
  session->any_flagged = bank->any_flagged;
  session->terms_derived = bank->terms_derived;
  session->feedforward_zero = bank->feedforward_zero;
  return session;
}

std::size_t channels(const Session* session) { return session->bank->shape.size(); }

void select(Session* session, std::size_t begin, std::size_t end, ChannelRun* run) {
  select_channels(session->bank, begin, end, *run);
  run->args.any_flagged = session->any_flagged;
  run->args.terms_derived = session->terms_derived;
  run->args.feedforward_zero = session->feedforward_zero;
}

void step(ChannelRun* run) { step_channels(*run); }

void merge(Session* session, const ChannelRun* run) {
  BankObject* bank = session->bank;
  const std::size_t n = bank->shape.size();
  if (run->begin == 0 && run->end == n) {
    keep_flags(bank, *run);
    return;
  }
  bank_kernel::derive_terms(run->args.params, *run->args.state, run->end - run->begin,
                            run->args.terms_derived, run->args.feedforward_zero);
  session->partial_channels += run->end - run->begin;
  session->partial_flagged = session->partial_flagged || run->args.any_flagged;
  if (session->partial_channels == n) {
    // Every channel's terms are stored now.
    bank->any_flagged = session->partial_flagged;
    bank->terms_derived = false;
    bank->feedforward_zero = false;
  } else {
    // Until the other channels are merged, their flags may still be set.
    bank->any_flagged = true;
  }
}

void end(Session* session) { delete session; }

const bank_capsule::Api api = {bank_capsule::kVersion, begin, channels, select, step, merge, end};

}  // namespace

bool add_bank_api(PyObject* module, PyObject* type) {
  if (bank_type == nullptr) bank_type = Ref::borrow(type).release();
  Ref capsule = Ref::steal(PyCapsule_New(const_cast<bank_capsule::Api*>(&api),
                                         bank_capsule::kCapsuleName, nullptr));
  if (!capsule) return false;
  return PyModule_AddObjectRef(module, bank_capsule::kAttribute, capsule.get()) == 0;
}

}  // namespace kovar::bank

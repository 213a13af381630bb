// The bank's C interface for other kovar modules (see
// kovar/common/bank_api.hpp): sessions that hold a bank's lock across many
// updates, made of the same pieces as PIDBank.update.
#include <new>
#include <type_traits>

#include "kovar/bank/pid_bank.hpp"
#include "kovar/common/bank_api.hpp"

namespace kovar::bank_api {

struct Session {
  explicit Session(bank::BankObject* b) : bank(b), lock(b) {}
  bank::BankObject* bank;
  bank::BankLock lock;
  // The flags when the session began: every run starts from them, since
  // a run over some channels says nothing of the others.
  bool any_flagged = false;
  std::size_t relay_count = 0;
  // Runs merged over part of the channels, and what they reported.
  std::size_t partial_channels = 0;
  bool partial_flagged = false;
  std::size_t partial_relays = 0;
};

struct Run {
  bank::ChannelRun channels;
};

static_assert(sizeof(Run) <= sizeof(RunStorage) && alignof(Run) <= alignof(RunStorage));
static_assert(std::is_trivially_destructible_v<Run>);

}  // namespace kovar::bank_api

namespace kovar::bank {

namespace {

using bank_api::Run;
using bank_api::Session;

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
  session->relay_count = bank->relay_count;
  return session;
}

std::size_t channels(const Session* session) { return session->bank->shape.size(); }

Run* select(Session* session, std::size_t begin, std::size_t end,
            bank_api::RunStorage* storage) {
  Run* run = new (storage->bytes) Run;
  select_channels(session->bank, begin, end, run->channels);
  run->channels.args.any_flagged = session->any_flagged;
  // Counted over the whole bank at first; after a step, over the run's
  // channels.
  run->channels.args.relay_count = session->relay_count;
  return run;
}

bank_kernel::Strided strided(const bank_api::Input& input) noexcept {
  return {input.data, input.step};
}

void step(Run* run, const bank_api::Step* step) {
  static constexpr double kNoInput = 0.0;
  bank_kernel::UpdateArgs& args = run->channels.args;
  args.setpoint = strided(step->setpoint);
  args.measurement = strided(step->measurement);
  args.has_feedforward = step->feedforward.data != nullptr;
  args.has_track = step->track.data != nullptr;
  args.feedforward = args.has_feedforward ? strided(step->feedforward)
                                          : bank_kernel::Strided{&kNoInput, 0};
  args.track = args.has_track ? strided(step->track) : bank_kernel::Strided{&kNoInput, 0};
  args.h = step->dt;
  args.out = step->out;
  const bank_kernel::UpdateFlags flags = bank_kernel::run_update(args);
  args.any_flagged = flags.any_flagged;
  args.relay_count = flags.relay_count;
}

void merge(Session* session, const Run* run) {
  BankObject* bank = session->bank;
  const ChannelRun& channels = run->channels;
  const std::size_t n = bank->shape.size();
  if (channels.begin == 0 && channels.end == n) {
    bank->any_flagged = channels.args.any_flagged;
    bank->relay_count = channels.args.relay_count;
    return;
  }
  session->partial_channels += channels.end - channels.begin;
  session->partial_flagged = session->partial_flagged || channels.args.any_flagged;
  session->partial_relays += channels.args.relay_count;
  // Until every channel is merged, the others' flags may still be set,
  // and their relays still running.
  const bool all = session->partial_channels == n;
  bank->any_flagged = all ? session->partial_flagged : true;
  if (all) bank->relay_count = session->partial_relays;
}

void end(Session* session) { delete session; }

const bank_api::Api api = {bank_api::kVersion, begin, channels, select, step, merge, end};

}  // namespace

bool add_bank_api(PyObject* module, PyObject* type) {
  if (bank_type == nullptr) bank_type = Ref::borrow(type).release();
  Ref capsule = Ref::steal(PyCapsule_New(const_cast<bank_api::Api*>(&api),
                                         bank_api::kCapsuleName, nullptr));
  if (!capsule) return false;
  return PyModule_AddObjectRef(module, bank_api::kAttribute, capsule.get()) == 0;
}

}  // namespace kovar::bank

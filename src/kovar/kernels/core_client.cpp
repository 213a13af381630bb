// A module's link to kovar._core (core_api.hpp): the kernels of kovar.regulo
// and kovar.bank split large calls over the core's one pool and run on the
// core's one SIMD path, through the table bound here at the module's exec.
#include "kovar/kernels/core_client.hpp"

#include "kovar/common/owned_ref.hpp"
#include "kovar/kernels/core_api.hpp"

namespace kovar::kernels {

std::atomic<SimdPath> detail::active_path{SimdPath::kSse2};

namespace {

const core_api::Api* core = nullptr;

}  // namespace

bool bind_core() {
  if (core == nullptr) {
    // PyCapsule_Import walks attributes from the package: the submodule
    // must be imported first.
    Ref module = Ref::steal(PyImport_ImportModule("kovar._core"));
    if (!module) return false;
    auto* api = static_cast<const core_api::Api*>(PyCapsule_Import(core_api::kCapsuleName, 0));
    if (api == nullptr) return false;
    if (api->version != core_api::kVersion) {
      PyErr_SetString(PyExc_ImportError, "kovar._core's C interface is of another version");
      return false;
    }
    // The capsule points at a table that lives as long as kovar._core,
    // which is never unloaded.
    core = api;
  }
  detail::active_path.store(core->simd_path(), std::memory_order_relaxed);
  return true;
}

void split_over_threads(std::ptrdiff_t items, std::ptrdiff_t weight, RangeFunction fn,
                        const void* context) noexcept {
  core->split_over_threads(items, weight, fn, context);
}

}  // namespace kovar::kernels

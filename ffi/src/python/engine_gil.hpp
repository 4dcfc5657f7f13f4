// The GIL for a call into Python from an engine thread.
#pragma once

#include "python/ref.hpp"
#include "runtime/runtime.hpp"

namespace tessaly::py {

// A runtime worker keeps its Python thread state for good (created once, on its first call):
// without that, every call would create and destroy a thread state, whose frame stack costs a
// mapping of its own.
class EngineGil {
 public:
  EngineGil() {
    thread_local bool kept = false;
    if (!kept && engine::on_runtime_thread()) {
      PyGILState_Ensure();  // never released: the state stays with the thread
      PyEval_SaveThread();
      kept = true;
    }
    state_ = PyGILState_Ensure();
  }
  ~EngineGil() { PyGILState_Release(state_); }
  EngineGil(const EngineGil&) = delete;
  EngineGil& operator=(const EngineGil&) = delete;

 private:
  PyGILState_STATE state_;
};

}  // namespace tessaly::py

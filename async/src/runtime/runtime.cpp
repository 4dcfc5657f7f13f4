// The shared runtime and its worker threads.
#include "runtime/runtime.hpp"

#include <thread>
#include <vector>

#include <asio/executor_work_guard.hpp>

namespace tessaly::engine {

namespace {

thread_local bool t_worker = false;

struct Runtime {
  asio::io_context context;
  asio::executor_work_guard<asio::io_context::executor_type> guard{context.get_executor()};

  Runtime() {
    const unsigned count = std::max(1u, std::thread::hardware_concurrency());
    for (unsigned i = 0; i < count; ++i) {
      // Detached: the runtime lives until the process exits, and exiting must not wait for it.
      std::thread([this] {
        t_worker = true;
        context.run();
      }).detach();
    }
  }
};

}  // namespace

asio::io_context& runtime() {
  // Deliberately leaked: destroying it at exit would race with its own worker threads.
  static Runtime* instance = new Runtime();
  return instance->context;
}

bool on_runtime_thread() {
  return t_worker;
}

}  // namespace tessaly::engine

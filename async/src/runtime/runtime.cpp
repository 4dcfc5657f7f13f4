// The shared runtime and its worker threads.
#include "runtime/runtime.hpp"

#include <asio/error.hpp>
#include <asio/executor_work_guard.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <system_error>
#include <thread>

namespace tessaly::engine {

namespace {

thread_local bool t_worker = false;

struct Runtime {
  asio::io_context context;
  asio::executor_work_guard<asio::io_context::executor_type> guard{context.get_executor()};
  std::mutex mutex;
  std::condition_variable finished;
  unsigned running = 0;

  Runtime() {
    // Error categories are function-local statics: build them now, before the exit hook is
    // registered, so that they outlive it and no worker ever meets a destroyed one.
    (void)std::system_category();
    (void)std::generic_category();
    (void)asio::error::get_system_category();
    (void)asio::error::get_misc_category();
    (void)asio::error::get_netdb_category();
    (void)asio::error::get_addrinfo_category();
    const unsigned count = std::max(1u, std::thread::hardware_concurrency());
    running = count;
    for (unsigned i = 0; i < count; ++i) {
      // Detached: the runtime lives until the process exits, and exiting must not wait on it
      // for longer than the exit hook allows.
      std::thread([this] {
        t_worker = true;
        context.run();
        std::lock_guard lock(mutex);
        if (--running == 0) finished.notify_all();
      }).detach();
    }
  }

  // At exit, before static objects go: stop the workers and give them a moment to leave, so
  // none of them runs while the rest of the process is being torn down.
  void stop() {
    context.stop();
    std::unique_lock lock(mutex);
    finished.wait_for(lock, std::chrono::seconds(1), [this] { return running == 0; });
  }
};

Runtime* g_runtime = nullptr;

}  // namespace

asio::io_context& runtime() {
  // Deliberately leaked: destroying it at exit would race with its own worker threads.
  static Runtime* instance = [] {
    g_runtime = new Runtime();
    std::atexit([] { g_runtime->stop(); });
    return g_runtime;
  }();
  return instance->context;
}

bool on_runtime_thread() {
  return t_worker;
}

void stop_runtime() {
  if (g_runtime != nullptr) g_runtime->stop();
}

}  // namespace tessaly::engine

// The runtime bridge: blocking waits with the GIL released, and asyncio awaitables completed on
// the caller's loop.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include "client/client_core.hpp"
#include "python/ref.hpp"

namespace tessaly::py {

using Clock = std::chrono::steady_clock;

// ClientError → exception instance (WorkerClosed, ResponseKindMismatch, RequestTimedOut, Core).
Ref client_error_to_exception(const engine::ClientError& error);
PyObject* raise_client_error(const engine::ClientError& error);

// RuntimeError when called on one of the runtime's own threads, where waiting would deadlock.
bool check_blocking_allowed();

// Calls `poll(until)` with the GIL released until it reports done. Every 100 ms it takes the
// GIL back to run pending signal handlers; if one raises, returns false with that exception set
// and the caller abandons the operation.
bool wait_interruptibly(const std::function<bool(Clock::time_point)>& poll);

// Waits for a listener or gateway run with the GIL released. On an interrupt it calls `stop`,
// gives the run up to two seconds to end, and returns false with the exception set.
template <typename T>
bool wait_run(engine::ReplySlot<T>& slot, const std::function<void()>& stop) {
  if (wait_interruptibly([&](Clock::time_point until) {
        return slot.wait_until(until) != engine::ReplySlot<T>::Empty;
      }))
    return true;
  stop();
  Py_BEGIN_ALLOW_THREADS;
  slot.wait_until(Clock::now() + std::chrono::seconds(2));
  Py_END_ALLOW_THREADS;
  return false;
}

// Waits for a request with the GIL released. Empty with an exception set when interrupted.
std::optional<engine::ClientResult<core::ClientResponse>> wait_call(engine::Call& call);

// Something the engine answers on another thread and Python finishes on the loop's thread.
class AsyncJob {
 public:
  virtual ~AsyncJob() = default;
  // Gives up on the engine's answer; false if the answer has already arrived.
  virtual bool abandon() = 0;
  // With the GIL held, on the loop's thread: the result, or nullptr with an exception set.
  virtual Ref finish() = 0;
  // When the job must time out, if ever.
  virtual std::optional<Clock::time_point> deadline() const { return std::nullopt; }
  // Whether cancelling the future must reach the job at once (a listener run), rather than
  // when its answer or deadline comes (a request).
  virtual bool stop_on_cancel() const { return false; }
};

// Starts an engine operation: `ready` must be called exactly once when the answer is there,
// unless the job is abandoned first. Returns the job, or nullptr with an exception set (which
// then becomes the future's exception).
using JobStarter = std::function<std::unique_ptr<AsyncJob>(std::function<void()> ready)>;

// A future on the running loop (asyncio's own error without one), completed with the job's
// result; a deadline raises ModbusTimeout. A cancelled future is never set, and its job is
// abandoned when the answer arrives or the deadline passes.
Ref make_awaitable(const JobStarter& start);

// Schedules `callable()` on the running loop (loop.call_soon); false with an exception set.
bool call_soon(PyObject* callable);

// A future on the running loop that is already done with `value` (a new reference is taken).
Ref completed_future(PyObject* value);

// A job for one client request; `convert` turns the answer into the Python result, given the
// request when the conversion needs it (an empty request otherwise).
using ResultConverter = Ref (*)(engine::ClientResult<core::ClientResponse>,
                                const core::ClientRequest&);
std::unique_ptr<AsyncJob> request_job(engine::Call call, ResultConverter convert,
                                      std::unique_ptr<const core::ClientRequest> request);

}  // namespace tessaly::py

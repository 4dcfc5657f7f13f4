// The fair asynchronous mutex: exclusion and first-come order.
#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/steady_timer.hpp>
#include <future>
#include <mutex>
#include <vector>

#include "runtime/async_mutex.hpp"
#include "support.hpp"

namespace tessaly::engine {
namespace {

using namespace std::chrono_literals;

TEST(AsyncMutex, WaitersGetTheLockInOrderOneAtATime) {
  AsyncMutex mutex;
  std::mutex record_mutex;
  std::vector<int> order;
  std::atomic<int> inside{0}, most{0};
  std::vector<std::future<void>> done;
  test::run_sync([&]() -> asio::awaitable<bool> {
    co_await mutex.lock();  // held while the others queue up
    co_return true;
  }());
  for (int i = 0; i < 8; ++i) {
    auto promise = std::make_shared<std::promise<void>>();
    done.push_back(promise->get_future());
    asio::co_spawn(
        runtime(),
        [&, i, promise]() -> asio::awaitable<void> {
          co_await mutex.lock();
          most = std::max(most.load(), ++inside);
          {
            std::lock_guard lock(record_mutex);
            order.push_back(i);
          }
          asio::steady_timer timer(co_await asio::this_coro::executor, 2ms);
          co_await timer.async_wait(asio::use_awaitable);
          --inside;
          mutex.unlock();
          promise->set_value();
        },
        asio::detached);
    std::this_thread::sleep_for(5ms);  // each asks after the previous one
  }
  mutex.unlock();
  for (auto& f : done) f.get();
  EXPECT_EQ(most, 1);
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7}));
}

}  // namespace
}  // namespace tessaly::engine

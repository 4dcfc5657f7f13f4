// A fair asynchronous mutex: waiters get the lock in the order in which they asked.
#pragma once

#include <asio/async_result.hpp>
#include <asio/awaitable.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>
#include <deque>
#include <functional>
#include <mutex>

namespace tessaly::engine {

class AsyncMutex {
 public:
  // Suspends until the lock is this caller's.
  asio::awaitable<void> lock() {
    {
      std::lock_guard guard(mutex_);
      if (!locked_) {
        locked_ = true;
        co_return;
      }
    }
    co_await asio::async_initiate<decltype(asio::use_awaitable), void()>(
        [this](auto handler) {
          auto executor = asio::get_associated_executor(handler);
          std::unique_lock guard(mutex_);
          if (!locked_) {  // released meanwhile
            locked_ = true;
            guard.unlock();
            asio::post(executor, std::move(handler));
            return;
          }
          waiters_.push_back([handler = std::move(handler), executor]() mutable {
            asio::post(executor, std::move(handler));
          });
        },
        asio::use_awaitable);
  }

  // Hands the lock straight to the oldest waiter, if any.
  void unlock() {
    std::move_only_function<void()> next;
    {
      std::lock_guard guard(mutex_);
      if (waiters_.empty()) {
        locked_ = false;
        return;
      }
      next = std::move(waiters_.front());
      waiters_.pop_front();
    }
    next();
  }

 private:
  std::mutex mutex_;
  bool locked_ = false;
  std::deque<std::move_only_function<void()>> waiters_;
};

}  // namespace tessaly::engine

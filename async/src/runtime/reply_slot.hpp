// Single-use reply slot: one answer from the engine to one waiting caller, and the latest-value
// cell through which a task publishes a count.
#pragma once

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>

namespace tessaly::engine {

// Shared between exactly one sender (the engine) and one receiver (the caller). Either side may
// go away first: an abandoned slot swallows the answer; a sender dropped without answering
// closes the slot, which the receiver sees.
template <typename T>
class ReplySlot {
 public:
  enum State : std::uint32_t { Empty, Filled, Closed, Abandoned };

  // Runs on the sender's thread once the slot is filled or closed; set before the sender can
  // answer (that is, before the slot is handed to the engine).
  void on_ready(std::function<void()> callback) { callback_ = std::move(callback); }

  // Sender: stores the answer unless the receiver has given up. True if it was delivered.
  bool fulfil(T value) {
    if (state_.load(std::memory_order_acquire) != Empty) return false;
    value_.emplace(std::move(value));
    return finish(Filled);
  }
  // Sender: gives up without an answer.
  void close() { finish(Closed); }

  // Receiver: gives up. False when the answer (or the close) won the race and can be taken.
  bool abandon() {
    std::uint32_t expected = Empty;
    return state_.compare_exchange_strong(expected, Abandoned, std::memory_order_acq_rel);
  }

  State state() const { return static_cast<State>(state_.load(std::memory_order_acquire)); }
  // Receiver, after state() is Filled.
  T take() { return std::move(*value_); }

  // Receiver: blocks until filled or closed, or until `deadline`; returns the state then.
  template <typename Clock, typename Duration>
  State wait_until(std::chrono::time_point<Clock, Duration> deadline) {
    for (;;) {
      const std::uint32_t s = state_.load(std::memory_order_acquire);
      if (s != Empty) return static_cast<State>(s);
      const auto left = deadline - Clock::now();
      if (left <= Duration::zero()) return Empty;
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
      timespec timeout{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
      waiters_.fetch_add(1, std::memory_order_acq_rel);
      syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&state_), FUTEX_WAIT_PRIVATE, Empty,
              &timeout, nullptr, 0);
      waiters_.fetch_sub(1, std::memory_order_acq_rel);
    }
  }

 private:
  bool finish(State to) {
    std::uint32_t expected = Empty;
    if (!state_.compare_exchange_strong(expected, to, std::memory_order_acq_rel)) return false;
    if (waiters_.load(std::memory_order_acquire) != 0)
      syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&state_), FUTEX_WAKE_PRIVATE, INT_MAX,
              nullptr, nullptr, 0);
    if (callback_) callback_();
    return true;
  }

  static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));
  std::atomic<std::uint32_t> state_{Empty};
  std::atomic<std::uint32_t> waiters_{0};
  std::optional<T> value_;
  std::function<void()> callback_;
};

// The engine's end of a slot: answers at most once, and closes the slot if dropped unanswered.
template <typename T>
class ReplySender {
 public:
  ReplySender() = default;
  explicit ReplySender(std::shared_ptr<ReplySlot<T>> slot) : slot_(std::move(slot)) {}
  ReplySender(ReplySender&&) noexcept = default;
  ReplySender& operator=(ReplySender&& other) noexcept {
    if (this != &other) {
      drop();
      slot_ = std::move(other.slot_);
    }
    return *this;
  }
  ~ReplySender() { drop(); }

  void send(T value) {
    if (auto slot = std::move(slot_)) slot->fulfil(std::move(value));
  }
  explicit operator bool() const { return slot_ != nullptr; }
  // True once the receiver has given up waiting.
  bool abandoned() const { return slot_ && slot_->state() == ReplySlot<T>::Abandoned; }

 private:
  void drop() {
    if (auto slot = std::move(slot_)) slot->close();
  }
  std::shared_ptr<ReplySlot<T>> slot_;
};

// Latest-value cell: the writer publishes, readers see the most recent value without waiting.
template <typename T>
class LatestValue {
 public:
  void publish(T value) { value_.store(value, std::memory_order_release); }
  T latest() const { return value_.load(std::memory_order_acquire); }

 private:
  std::atomic<T> value_{};
};

}  // namespace tessaly::engine

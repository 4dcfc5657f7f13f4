// The client task's table of requests sent and not yet answered, keyed by transaction id.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "client/client_core.hpp"

namespace tessaly::engine {

struct PendingRequest {
  core::RequestContext context;
  ReplySender<Reply> reply;
};

// Open addressing with linear probing over a table allocated once, so that inserting a request
// never allocates. Transaction ids are handed out in sequence, so they rarely collide.
class PendingTable {
 public:
  // `capacity` must be a power of two larger than the most entries ever held.
  explicit PendingTable(std::size_t capacity) : slots_(capacity) {}

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  // A stale entry under the same id (its caller long gone) is replaced.
  void insert(core::TransactionId id, PendingRequest request) {
    std::size_t i = find(id);
    if (!slots_[i].used) ++size_;
    slots_[i].used = true;
    slots_[i].id = id;
    slots_[i].request = std::move(request);
  }

  std::optional<PendingRequest> take(core::TransactionId id) {
    const std::size_t i = find(id);
    if (!slots_[i].used) return std::nullopt;
    return remove(i);
  }

  // The id of whichever entry the table holds first.
  std::optional<core::TransactionId> first_id() const {
    for (const auto& slot : slots_)
      if (slot.used) return slot.id;
    return std::nullopt;
  }
  const PendingRequest* find_request(core::TransactionId id) const {
    const std::size_t i = find(id);
    return slots_[i].used ? &slots_[i].request : nullptr;
  }

  // Whichever entry the table holds first.
  std::optional<PendingRequest> take_any() {
    for (std::size_t i = 0; i < slots_.size(); ++i)
      if (slots_[i].used) return remove(i);
    return std::nullopt;
  }

  template <typename F>
  void drain(F&& f) {
    for (auto& slot : slots_) {
      if (!slot.used) continue;
      slot.used = false;
      f(std::move(slot.request));
      slot.request = {};
    }
    size_ = 0;
  }

 private:
  struct Slot {
    bool used = false;
    core::TransactionId id = 0;
    PendingRequest request;
  };

  std::size_t mask() const { return slots_.size() - 1; }

  // The slot holding `id`, or the free slot where it would go.
  std::size_t find(core::TransactionId id) const {
    std::size_t i = id & mask();
    while (slots_[i].used && slots_[i].id != id) i = (i + 1) & mask();
    return i;
  }

  PendingRequest remove(std::size_t i) {
    PendingRequest out = std::move(slots_[i].request);
    slots_[i].used = false;
    --size_;
    // Backward-shift deletion keeps every probe chain unbroken without tombstones.
    std::size_t hole = i;
    for (std::size_t j = (i + 1) & mask(); slots_[j].used; j = (j + 1) & mask()) {
      const std::size_t home = slots_[j].id & mask();
      const bool movable = hole <= j ? (home <= hole || home > j) : (home <= hole && home > j);
      if (!movable) continue;
      slots_[hole] = std::move(slots_[j]);
      slots_[j].used = false;
      hole = j;
    }
    return out;
  }

  std::vector<Slot> slots_;
  std::size_t size_ = 0;
};

}  // namespace tessaly::engine

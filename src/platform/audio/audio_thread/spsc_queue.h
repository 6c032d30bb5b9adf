// SPDX-License-Identifier: GPL-3.0-or-later
// A bounded single-producer single-consumer ring for passing small commands
// from the UI thread to the audio thread without locks or allocation.
// Exactly one thread may push and exactly one (other) thread may pop.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <type_traits>

namespace platform {

// Threads: push on one producer thread, pop on one consumer thread.
template <typename T, std::size_t Capacity>
class SpscQueue {
  static_assert(Capacity >= 2 && (Capacity & (Capacity - 1)) == 0,
                "capacity must be a power of two");
  static_assert(std::is_trivially_copyable_v<T>, "commands are copied bytewise");

public:
  // Producer side.  False when the ring is full; the value is not queued.
  bool push(const T& value) noexcept {
    const std::size_t head = head_.load(std::memory_order_relaxed);
    if (head - tailCache_ == Capacity) {
      tailCache_ = tail_.load(std::memory_order_acquire);
      if (head - tailCache_ == Capacity) return false;
    }
    slots_[head & (Capacity - 1)] = value;
    head_.store(head + 1, std::memory_order_release);
    return true;
  }

  // Consumer side.  False when the ring is empty.
  bool pop(T& out) noexcept {
    const std::size_t tail = tail_.load(std::memory_order_relaxed);
    if (tail == headCache_) {
      headCache_ = head_.load(std::memory_order_acquire);
      if (tail == headCache_) return false;
    }
    out = slots_[tail & (Capacity - 1)];
    tail_.store(tail + 1, std::memory_order_release);
    return true;
  }

  // Consumer side: the oldest value without taking it.  False when empty.
  bool peek(T& out) noexcept {
    const std::size_t tail = tail_.load(std::memory_order_relaxed);
    if (tail == headCache_) {
      headCache_ = head_.load(std::memory_order_acquire);
      if (tail == headCache_) return false;
    }
    out = slots_[tail & (Capacity - 1)];
    return true;
  }

  // Either side; a snapshot that may be stale by the time it is read.
  std::size_t size() const noexcept {
    return head_.load(std::memory_order_acquire) - tail_.load(std::memory_order_acquire);
  }
  static constexpr std::size_t capacity() noexcept { return Capacity; }

private:
  alignas(64) std::atomic<std::size_t> head_{0};   // written by the producer
  std::size_t tailCache_ = 0;                      // producer's view of tail_
  alignas(64) std::atomic<std::size_t> tail_{0};   // written by the consumer
  std::size_t headCache_ = 0;                      // consumer's view of head_
  alignas(64) std::array<T, Capacity> slots_{};
};

}  // namespace platform

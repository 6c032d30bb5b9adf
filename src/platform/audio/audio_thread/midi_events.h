// SPDX-License-Identifier: GPL-3.0-or-later
// The channel messages the embedded synthesizer played, each at the engine
// frame where it took effect: what the MIDI port sends on, so that a program
// recording both the sound and the port finds them aligned to the sample.
//
// A fixed number of slots, made on the UI thread; the audio thread appends
// (the engine, as it plays) and takes (the output, after each block), and
// neither allocates.  Events are kept in frame order; events at the same
// frame keep the order they were added in (a note-off before the re-strike
// of its key).  A full list drops the newest event and counts it.
//
// Threads: made on the UI thread; every call after that on the audio thread.
#pragma once

#include <cstdint>
#include <memory>

namespace platform {

// Threads: made on the UI thread; used on the audio thread only.
class MidiEvents {
public:
  struct Event {
    uint64_t frame = 0;    // engine frame
    uint32_t packed = 0;   // as midiOutShortMsg packs it
  };
  // Enough for every command the engine's queue can hold in one block, each
  // with the note-offs it may bring, and a note-off for every pool instance.
  static constexpr uint32_t kCapacity = 4096;

  MidiEvents() : events_(new Event[kCapacity]()) {}

  void add(uint64_t frame, uint32_t packed) noexcept {
    if (count_ == kCapacity) {
      ++dropped_;
      return;
    }
    uint32_t i = count_++;
    // Nearly always appended at the end: events come in frame order but for
    // the ends of voices found while rendering several instances.
    while (i > 0 && events_[i - 1].frame > frame) {
      events_[i] = events_[i - 1];
      --i;
    }
    events_[i] = Event{frame, packed};
  }

  // Calls fn(event) for the events before `end`, in order, and removes
  // those it took: fn answers false for one it could not take, which stays,
  // with the ones after it.  Answers how many were taken.
  template <typename Fn>
  uint32_t takeBefore(uint64_t end, Fn&& fn) noexcept {
    uint32_t n = 0;
    while (n < count_ && events_[n].frame < end && fn(events_[n])) ++n;
    removeFirst(n);
    return n;
  }
  // Removes the events before `end` unseen; answers how many.
  uint32_t dropBefore(uint64_t end) noexcept {
    uint32_t n = 0;
    while (n < count_ && events_[n].frame < end) ++n;
    removeFirst(n);
    return n;
  }

  uint32_t size() const noexcept { return count_; }
  const Event& operator[](uint32_t i) const noexcept { return events_[i]; }
  // Events that found the list full.
  uint64_t dropped() const noexcept { return dropped_; }

private:
  void removeFirst(uint32_t n) noexcept {
    if (n == 0) return;
    for (uint32_t i = n; i < count_; ++i) events_[i - n] = events_[i];
    count_ -= n;
  }

  std::unique_ptr<Event[]> events_;
  uint32_t count_ = 0;
  uint64_t dropped_ = 0;
};

}  // namespace platform

namespace platform {

// Where a graph cycle's events are written: the MIDI port's buffer.
// Threads: the data thread.
class MidiCycleWriter {
public:
  // One message at `offset` frames into the cycle; false when there is no room.
  virtual bool put(uint32_t offset, uint32_t packed) noexcept = 0;

protected:
  ~MidiCycleWriter() = default;
};

// What the MIDI port asks for in each graph cycle.
// Threads: the data thread.
class MidiCycleSource {
public:
  // The events of the cycle that began at `ns` (the graph's clock, the same
  // for every node of the cycle) and is `frames` long, in order.
  virtual void cycleEvents(int64_t ns, uint32_t frames, MidiCycleWriter& out) noexcept = 0;
  // A reader begins to take the port's events (its first cycle follows):
  // it has heard nothing before.
  virtual void readerJoined() noexcept = 0;

protected:
  ~MidiCycleSource() = default;
};

}  // namespace platform

// SPDX-License-Identifier: GPL-3.0-or-later
// One graph cycle's block, rendered once for the two nodes that share it:
// the audio stream takes its samples, the MIDI port its events.
//
// Both nodes belong to one PipeWire client and one node group, so the graph
// runs them in the same cycle, on the same data thread, in no fixed order.
// Whichever runs first in a cycle (told by the cycle's start, clock.nsec,
// which both see alike) renders the block through a GraphFeed, and the
// engine reports the block's channel messages into this class's event list
// (midi_events.h); the other then takes its part.  The audio node renders
// straight into its own buffer when it runs first, so a port that no one
// listens to (an unlinked port takes no events) costs the audio path
// only the upkeep of that list: the events of a block the port did not
// take are dropped when the next block is rendered.
//
// An event's offset in its cycle is its engine frame less the block's
// first: the frame where the synthesizer starts the note in the samples the
// audio node hands the graph in that same cycle.
//
// A reader linked to the port while the instrument plays (or again after
// the server restarted) missed the program change of the present tone: in
// its first cycle (readerJoined) it first gets the program each channel
// plays, at offset 0, unless the cycle brings that channel's own program
// change; so the program change always comes first and another
// synthesizer played from the port plays the present tone.  The same when
// the port's node missed a cycle that changed a program: its reader would
// go on with the old tone.  A missed cycle that changed no program sends
// nothing again (the reader's tone is still right).
//
// Threads: made and destroyed on the UI thread while no data thread runs
// for it; every other call on the data thread.  No lock, no allocation.
#pragma once

#include "platform/audio/audio_thread/audio_engine.h"
#include "platform/audio/audio_thread/graph_feed.h"
#include "platform/audio/audio_thread/midi_events.h"

#include <cstdint>
#include <memory>

namespace platform {

// Threads: made and destroyed on the UI thread; the rest on the data thread.
class SharedCycle : public MidiCycleSource {
public:
  // The longest block the port can have rendered for the audio node.
  static constexpr uint32_t kMaxFrames = 8192;

  struct Cycle {
    int64_t ns = 0;             // the cycle's start (clock.nsec)
    uint32_t frames = 0;        // the frames it asks for
    uint32_t delayFrames = 0;   // commands land this long after their stamps
  };

  // A stream that starts at the engine's present end; the engine reports
  // into this object's list until it is destroyed.
  explicit SharedCycle(AudioEngine& engine);
  ~SharedCycle();
  SharedCycle(const SharedCycle&) = delete;
  SharedCycle& operator=(const SharedCycle&) = delete;

  // The audio node: the cycle's sound into `out` (room for c.frames
  // frames).  Answers the frames written.
  uint32_t sound(const Cycle& c, float* out) noexcept;
  // The MIDI port: the events of the cycle's block, at their offsets.
  // Commands land one cycle after their stamps, as the audio node's do.
  void cycleEvents(int64_t ns, uint32_t frames, MidiCycleWriter& out) noexcept override;
  void readerJoined() noexcept override { programsOwed_ = true; }
  // Before the audio node pauses: everything handed to the graph is final.
  void settle() noexcept { feed_.settle(); }

  // Frames handed to the graph since the stream began.
  uint64_t given() const noexcept { return feed_.given(); }
  // The port took the events of the last block rendered: someone listens,
  // and the engine's timing must keep running.
  bool portListening() const noexcept { return eventsTaken_; }
  // Events no port took (it was not linked), events that did not fit the
  // port's buffer and went out at the start of the next cycle, and events
  // the engine found the list full for.
  uint64_t eventsUnheard() const noexcept { return unheard_; }
  uint64_t eventsLate() const noexcept { return late_; }
  uint64_t eventsLost() const noexcept { return events_.dropped(); }
  // Cycles whose block was rendered for the port first.
  uint64_t portFirst() const noexcept { return portFirst_; }
  // Program changes sent again to a reader that joined.
  uint64_t programsResent() const noexcept { return resent_; }

private:
  // Renders the block of a new cycle into `out`, which has room for
  // `frames` frames.
  uint32_t render(const Cycle& c, uint32_t frames, float* out) noexcept;
  // The programs the channels play, for a reader that just joined; false
  // when the port's buffer had no room for them.
  bool resendPrograms(MidiCycleWriter& out) noexcept;

  AudioEngine& engine_;
  GraphFeed feed_;
  MidiEvents events_;
  std::unique_ptr<float[]> kept_;   // the block, when the port rendered it
  bool started_ = false;
  int64_t cycleNs_ = 0;
  uint64_t blockStart_ = 0;         // engine frame of the block's first frame
  uint32_t blockFrames_ = 0;
  bool blockKept_ = false;
  bool soundTaken_ = false;
  bool eventsTaken_ = false;
  bool programsOwed_ = true;        // the reader is owed the programs the channels play
  uint64_t unheard_ = 0;
  uint64_t late_ = 0;
  uint64_t portFirst_ = 0;
  uint64_t resent_ = 0;
  // The feed's key for each block: this class renders a cycle once itself.
  uint64_t key_ = 0;
};

}  // namespace platform

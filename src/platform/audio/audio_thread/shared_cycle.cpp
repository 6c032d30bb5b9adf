// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/audio/audio_thread/shared_cycle.h"

#include "platform/audio/audio_thread/midi_message.h"

#include <algorithm>
#include <cstring>

namespace platform {

SharedCycle::SharedCycle(AudioEngine& engine)
    : engine_(engine), feed_(engine), kept_(new float[size_t(kMaxFrames) * 2]()) {
  engine_.reportMidiTo(&events_);
}

// (A newer stream's list is left alone.)
SharedCycle::~SharedCycle() {
  if (engine_.midiReportList() == &events_) engine_.reportMidiTo(nullptr);
}

uint32_t SharedCycle::render(const Cycle& c, uint32_t frames, float* out) noexcept {
  // What the port did not take from the last block, no one heard; what
  // lies past that block (a command that landed on its end) is this one's.
  const uint64_t start = engine_.written();
  if (!eventsTaken_) {
    for (uint32_t i = 0; i < events_.size() && events_[i].frame < start; ++i)
      if (MidiMessage(events_[i].packed).kind() == MidiMessage::Program) programsOwed_ = true;
    unheard_ += events_.dropBefore(start);
  }
  started_ = true;
  cycleNs_ = c.ns;
  soundTaken_ = eventsTaken_ = false;
  blockStart_ = start;
  blockFrames_ = feed_.fill({++key_, c.ns, frames, c.delayFrames}, out);
  return blockFrames_;
}

uint32_t SharedCycle::sound(const Cycle& c, float* out) noexcept {
  if (!started_ || c.ns != cycleNs_ || soundTaken_ || !blockKept_) {
    blockKept_ = false;
    const uint32_t got = render(c, c.frames, out);
    soundTaken_ = true;
    return got;
  }
  // The port ran first in this cycle: its block, and any more the cycle
  // asks for (the two ask alike; this is only for safety).
  soundTaken_ = true;
  const uint32_t n = std::min(c.frames, blockFrames_);
  std::memcpy(out, kept_.get(), size_t(n) * 2 * sizeof(float));
  if (c.frames <= n) return n;
  return n + feed_.fill({++key_, c.ns, c.frames - n, c.delayFrames}, out + size_t(n) * 2);
}

void SharedCycle::cycleEvents(int64_t ns, uint32_t frames, MidiCycleWriter& out) noexcept {
  if (!started_ || ns != cycleNs_ || eventsTaken_) {
    blockKept_ = true;
    ++portFirst_;
    render({ns, frames, frames}, std::min(frames, kMaxFrames), kept_.get());
  }
  if (programsOwed_) programsOwed_ = !resendPrograms(out);
  eventsTaken_ = true;
  const uint64_t start = blockStart_;
  const uint64_t end = blockStart_ + blockFrames_;
  // Anything older (a block the audio node asked more of) goes at the start.
  events_.takeBefore(end, [&](const MidiEvents::Event& e) {
    const uint32_t offset = e.frame > start ? uint32_t(e.frame - start) : 0;
    return out.put(offset, e.packed);
  });
  // What did not fit goes out at the start of the next cycle.
  for (uint32_t i = 0; i < events_.size() && events_[i].frame < end; ++i) ++late_;
}

bool SharedCycle::resendPrograms(MidiCycleWriter& out) noexcept {
  const uint64_t end = blockStart_ + blockFrames_;
  for (int channel = 0; channel < 16; ++channel) {
    const int program = engine_.synthProgram(channel);
    if (program < 0) continue;
    bool own = false;   // this block changes the channel's program itself
    for (uint32_t i = 0; i < events_.size() && events_[i].frame < end && !own; ++i) {
      const MidiMessage m(events_[i].packed);
      own = m.kind() == MidiMessage::Program && m.channel() == channel;
    }
    if (own) continue;
    if (!out.put(0, MidiMessage::make(MidiMessage::Program, channel, program, 0).packed)) return false;
    ++resent_;
  }
  return true;
}

}  // namespace platform

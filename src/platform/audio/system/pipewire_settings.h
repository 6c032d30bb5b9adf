// SPDX-License-Identifier: GPL-3.0-or-later
// The PipeWire server's clock settings, as it says them: its configured
// defaults (default.clock.* in the core's properties) overridden by what
// is in force now (the "settings" metadata: clock.quantum, clock.min-quantum,
// clock.max-quantum, clock.force-quantum, clock.rate, clock.force-rate),
// so that the program knows the periods the graph may run at instead of
// taking one machine's figure for them.  The one short conversation the
// program has with the server before it plays (probePipeWire) brings these
// with what the output choice needs.
//
// Threads: any; probePipeWire() runs a private loop of its own.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

struct PipeWireClock {
  bool answered = false;     // a PipeWire server took the connection
  uint32_t rate = 48000;
  uint32_t quantum = 1024;   // the period with nothing asking otherwise
  uint32_t minQuantum = 32;
  uint32_t maxQuantum = 2048;
  uint32_t forceQuantum = 0; // 0: not forced

  // The longest period (at the graph's rate) the graph may run at while a
  // node asks for `latency` frames (0: asks nothing): a forced quantum;
  // else the asked latency (or the default quantum) raised to the smallest
  // period and cut to the largest.  Other nodes can only make it shorter.
  uint32_t longestPeriodFor(uint32_t latency) const;
};

struct PipeWireProbe {
  bool answered = false;   // a PipeWire server took the connection
  bool hasSink = false;    // it has an audio sink to play to
  uint32_t rate = 0;       // the graph's default rate; 0 when not said
  std::string version;
  PipeWireClock clock;     // its clock settings
};
// Connects to the PipeWire server, lists its nodes, reads the clock
// settings and leaves again; a few milliseconds, at most `timeoutMs`.
// Without a server: answered false, and PipeWire's own default settings.
PipeWireProbe probePipeWire(int timeoutMs = 500);
// The clock settings alone.
inline PipeWireClock readPipeWireClock(int timeoutMs = 500) { return probePipeWire(timeoutMs).clock; }

// Parses "1024" or "1024/48000" (PipeWire's node.latency form) into frames
// at `rate`; 0 when it is neither.
uint32_t parseLatencyFrames(const std::string& text, uint32_t rate);

}  // namespace platform

// SPDX-License-Identifier: GPL-3.0-or-later
// The PipeWire server's clock settings, as it says them: its configured
// defaults (default.clock.* in the core's properties) overridden by what
// is in force now (the "settings" metadata: clock.quantum, clock.min-quantum,
// clock.max-quantum, clock.force-quantum, clock.rate, clock.force-rate),
// so that the program knows the periods the graph may run at instead of
// taking one machine's figure for them.
//
// Threads: any; readPipeWireClock() runs a private loop of its own.
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

// Connects, reads the settings and leaves; a few milliseconds, at most
// `timeoutMs`.  Without a server: answered false and PipeWire's own
// defaults.
PipeWireClock readPipeWireClock(int timeoutMs = 500);

// Parses "1024" or "1024/48000" (PipeWire's node.latency form) into frames
// at `rate`; 0 when it is neither.
uint32_t parseLatencyFrames(const std::string& text, uint32_t rate);

}  // namespace platform

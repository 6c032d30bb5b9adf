// SPDX-License-Identifier: GPL-3.0-or-later
// The instrument's MIDI output port in PipeWire's graph: a node of its own
// (a pw_filter) with one output port of format "8 bit raw midi", media
// class Midi/Source, linked to nothing by itself, so that patchbays and
// PipeWire's JACK service show it as a MIDI source.
//
// It is made on the audio stream's own core, so it is a second node of the
// same client and its process runs on the same data thread as the stream's;
// with the stream's node.group the two share a driver and so their cycles.
// Each cycle a reader is linked it asks its source (midi_events.h) for the
// cycle's events and writes them as a spa_pod_sequence of SPA_CONTROL_Midi
// controls, each at its offset in the cycle.  A node in a group runs in
// the group driver's cycles even with nothing linked to it, which would
// cost the data thread a wake-up a cycle; so the node joins the stream's
// group only while the registry shows a link leaving it (out of a group,
// an unlinked node is run in no cycle).  While the port has no format (no
// reader yet) its process returns at once without asking the source, and
// the events of the cycle count as unheard.
//
// In the group the port's node runs as soon as its link has a format and
// buffers, but the reader joins the cycles only once the server has
// activated the link and the reader's node has answered its start (the
// server says the node is running): what the port wrote before then nobody
// read, and a busy reader answers late.  So the port binds each link
// leaving it and the node it leads to, and carries events only from the
// second cycle after both say so (the first gives an empty sequence);
// until then the cycles' events are unheard, and the present programs go
// first once they flow.  A further reader that comes to run while events
// flow gets the present programs in the next cycle (and so do the others
// again, which changes nothing for them).
//
// Threads: start() and stop() with the core's thread loop locked (the UI
// thread); the link changes (Config::onLinked) on the thread loop; process
// on the data thread, which takes no lock and allocates nothing; the
// figures from any thread.
#pragma once

#include "platform/audio/audio_thread/midi_events.h"

#include <spa/utils/hook.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct pw_core;
struct pw_filter;
struct pw_link_info;
struct pw_node_info;
struct pw_proxy;
struct pw_registry;
struct spa_io_position;

namespace platform {

struct PipeWireMidiPortEvents;

class PipeWireMidiPort {
public:
  struct Config {
    std::string nodeName = "plinkora-midi";
    std::string description = "Plinkora MIDI";
    std::string portName = "out";
    std::string appName = "Plinkora";
    std::string group;   // node.group, shared with the audio stream while linked; empty: none
    // Told on the thread loop when a reader is linked to the port (it has
    // a format), and when the last one goes.
    std::function<void(bool linked)> onLinked;
  };
  // The bytes a control takes in the port's buffer (its header, the
  // message padded to 8 bytes), and the sequence's own header.
  static constexpr uint32_t kEventBytes = 24;
  static constexpr uint32_t kSequenceBytes = 16;

  PipeWireMidiPort();
  explicit PipeWireMidiPort(Config config);
  ~PipeWireMidiPort();
  PipeWireMidiPort(const PipeWireMidiPort&) = delete;
  PipeWireMidiPort& operator=(const PipeWireMidiPort&) = delete;

  // Adds the node to `core`; `source` is asked for each cycle's events on
  // the data thread from then until stop().  The thread loop is locked.
  bool start(pw_core* core, MidiCycleSource& source);
  // Removes the node; when it returns, process has run for the last time.
  // The thread loop is locked (or stopped).
  void stop();

  // A reader is linked: the port has a format and takes the cycles' events.
  bool linked() const { return linked_.load(std::memory_order_acquire); }
  // The server says a link from the port is active and the node it leads
  // to is running: its reader is in the cycles.
  bool active() const { return active_.load(std::memory_order_acquire); }
  // The node is in the stream's group (a link leaves it).
  bool grouped() const { return grouped_.load(std::memory_order_relaxed); }
  // Cycles the port's process ran in (linked or not), those it took the
  // events of, events it wrote, events that found its buffer full.
  uint64_t cycles() const { return cycles_.load(std::memory_order_relaxed); }
  uint64_t cyclesLinked() const { return cyclesLinked_.load(std::memory_order_relaxed); }
  uint64_t eventsWritten() const { return written_.load(std::memory_order_relaxed); }
  uint64_t eventsRefused() const { return refused_.load(std::memory_order_relaxed); }
  // Linked cycles the port had no buffer in (the link not yet set up), and
  // those it gave an empty one in, waiting for the server to say the link
  // is active (and one cycle more).
  uint64_t cyclesNoBuffer() const { return cyclesNoBuffer_.load(std::memory_order_relaxed); }
  uint64_t cyclesWaiting() const { return cyclesWaiting_.load(std::memory_order_relaxed); }
  // Time the data thread spent in the port's process, all cycles together,
  // and the time by which `fraction` of the linked cycles were done (0.5
  // the median), to a power of two of nanoseconds.
  uint64_t busyNs() const { return busyNs_.load(std::memory_order_relaxed); }
  uint64_t busyPercentileNs(double fraction) const;
  const std::string& error() const { return error_; }
  const Config& config() const { return config_; }

private:
  friend struct PipeWireMidiPortEvents;
  void process(spa_io_position* position) noexcept;
  void formatChanged(bool set);
  void linkAdded(uint32_t link, uint32_t outputNode);
  void linkRemoved(uint32_t link);
  struct Link;
  void linkInfo(Link& link, const pw_link_info* info);
  void readerInfo(Link& link, const pw_node_info* info);
  // After a link's state changed; `wasReady`: whether it was ready before.
  void updateActive(const Link* changed = nullptr, bool wasReady = false);
  static void dropLink(Link& link);
  void joinGroup(bool join);
  void countBusy(uint64_t ns, bool linked) noexcept;
  static void count(std::atomic<uint64_t>& n) noexcept { n.store(n.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed); }

  Config config_;
  pw_filter* filter_ = nullptr;
  void* port_ = nullptr;
  spa_hook listener_{};
  pw_registry* registry_ = nullptr;
  spa_hook registryListener_{};
  // A link leaving the port's node, bound to follow its state, and the
  // node it leads to, bound to follow whether it runs (thread loop).
  struct Link {
    PipeWireMidiPort* port = nullptr;
    uint32_t id = 0;
    pw_proxy* proxy = nullptr;
    spa_hook listener{};
    bool active = false;
    pw_proxy* reader = nullptr;
    spa_hook readerListener{};
    bool readerRunning = false;
    bool ready() const { return active && readerRunning; }
  };
  std::vector<std::unique_ptr<Link>> links_;
  MidiCycleSource* source_ = nullptr;
  std::string error_;
  std::atomic<bool> linked_{false};
  std::atomic<bool> grouped_{false};
  std::atomic<bool> active_{false};   // a link from the port is active, its reader running
  std::atomic<uint32_t> joins_{0};    // links that came to be active with their reader running
  uint32_t joinsSeen_ = 0;            // (data thread)
  // Whether the port gave an empty buffer since its link became active,
  // and whether its cycles carry events (data thread).
  bool gaveOnce_ = false;
  bool flowing_ = false;
  std::atomic<uint64_t> cycles_{0};
  std::atomic<uint64_t> cyclesLinked_{0};
  std::atomic<uint64_t> written_{0};
  std::atomic<uint64_t> refused_{0};
  std::atomic<uint64_t> cyclesNoBuffer_{0};
  std::atomic<uint64_t> cyclesWaiting_{0};
  std::atomic<uint64_t> busyNs_{0};
  static constexpr size_t kBusyBins = 40;
  std::atomic<uint32_t> busyBins_[kBusyBins] = {};   // linked cycles by their time's power of two
};

}  // namespace platform

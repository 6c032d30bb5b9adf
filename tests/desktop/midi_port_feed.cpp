// SPDX-License-Identifier: GPL-3.0-or-later
// Drives the program's own MIDI port node (PipeWireMidiPort) in a real
// PipeWire graph with a scripted source, for the test that reads it back.
//
// In each cycle the port runs in (it runs only while linked), the script
// gives a note-on at an offset that moves from cycle to cycle, a note-off a
// few frames later, and every 8th cycle a program change at offset 0, for
// the first --cycles cycles.  Every event the port wrote goes to standard
// output as "W <cycle ns> <offset> <status> <data1> <data2>" (decimal), and
// twice a second a line "S <cycles the port ran> <events written>".
//
//   midi_port_feed [--cycles N] [--group NAME]      until SIGTERM or SIGINT
//
// Threads: main() prints; the script runs on the port's data thread and only
// fills a preallocated table.
#include "platform/audio/system/pipewire_midi_port.h"

#include <pipewire/pipewire.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

std::atomic<bool> g_stop{false};
void onSignal(int) { g_stop.store(true); }

struct Record {
  int64_t ns;
  uint32_t offset, packed;
};

class Script : public platform::MidiCycleSource {
public:
  explicit Script(uint32_t cycles) : cycles_(cycles), records_(size_t(cycles) * 3 + 16) {}

  void cycleEvents(int64_t ns, uint32_t frames, platform::MidiCycleWriter& out) noexcept override {
    if (k_ >= cycles_ || frames < 8) return;
    const uint32_t note = 48 + k_ % 36;
    const uint32_t on = (k_ * 53 + 11) % (frames - 6);
    if (k_ % 8 == 0) put(out, ns, 0, 0xC0 | (k_ / 8 % 3 == 0 ? 116 : k_ / 8 % 3 == 1 ? 24 : 32) << 8);
    put(out, ns, on, 0x90 | note << 8 | 127u << 16);
    put(out, ns, on + 5, 0x80 | note << 8 | 64u << 16);
    ++k_;
  }
  void readerJoined() noexcept override {}
  size_t recorded() const { return n_.load(std::memory_order_acquire); }
  const Record& operator[](size_t i) const { return records_[i]; }

private:
  void put(platform::MidiCycleWriter& out, int64_t ns, uint32_t offset, uint32_t packed) noexcept {
    const size_t n = n_.load(std::memory_order_relaxed);
    if (n >= records_.size() || !out.put(offset, packed)) return;
    records_[n] = {ns, offset, packed};
    n_.store(n + 1, std::memory_order_release);
  }
  const uint32_t cycles_;
  uint32_t k_ = 0;
  std::vector<Record> records_;
  std::atomic<size_t> n_{0};
};

}  // namespace

int main(int argc, char** argv) {
  uint32_t cycles = 200;
  platform::PipeWireMidiPort::Config config;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--cycles") && i + 1 < argc) cycles = uint32_t(std::atoi(argv[++i]));
    else if (!std::strcmp(argv[i], "--group") && i + 1 < argc) config.group = argv[++i];
    else {
      std::fprintf(stderr, "usage: midi_port_feed [--cycles N] [--group NAME]\n");
      return 2;
    }
  }
  std::signal(SIGTERM, onSignal);
  std::signal(SIGINT, onSignal);
  setvbuf(stdout, nullptr, _IOLBF, 0);
  pw_init(&argc, &argv);
  Script script(cycles);
  pw_thread_loop* loop = pw_thread_loop_new("midi-port-feed", nullptr);
  pw_context* context = pw_context_new(pw_thread_loop_get_loop(loop), nullptr, 0);
  if (!loop || !context || pw_thread_loop_start(loop) < 0) {
    std::fprintf(stderr, "midi_port_feed: no PipeWire loop\n");
    return 1;
  }
  pw_thread_loop_lock(loop);
  pw_core* core = pw_context_connect(context, nullptr, 0);
  platform::PipeWireMidiPort port(config);
  const bool started = core && port.start(core, script);
  pw_thread_loop_unlock(loop);
  if (!started) {
    std::fprintf(stderr, "midi_port_feed: %s\n", core ? port.error().c_str() : "no PipeWire server");
    return 1;
  }
  std::printf("ready %s:%s\n", config.nodeName.c_str(), config.portName.c_str());
  size_t printed = 0;
  auto status = std::chrono::steady_clock::now();
  while (!g_stop.load()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (const size_t n = script.recorded(); printed < n; ++printed) {
      const Record& r = script[printed];
      std::printf("W %lld %u %u %u %u\n", (long long)r.ns, r.offset, r.packed & 0xFF, (r.packed >> 8) & 0x7F,
                  (r.packed >> 16) & 0x7F);
    }
    if (std::chrono::steady_clock::now() - status > std::chrono::milliseconds(500)) {
      status = std::chrono::steady_clock::now();
      std::printf("S %llu %llu\n", (unsigned long long)port.cycles(), (unsigned long long)port.eventsWritten());
    }
  }
  pw_thread_loop_lock(loop);
  port.stop();
  pw_core_disconnect(core);
  pw_thread_loop_unlock(loop);
  pw_thread_loop_stop(loop);
  pw_context_destroy(context);
  pw_thread_loop_destroy(loop);
  return 0;
}

// SPDX-License-Identifier: GPL-3.0-or-later
// What the MIDI port costs the data thread, offline.  Three engines, each
// with the real synthesizer pool, play the same strum (a note every 100 ms,
// a tone change every 5 s) in 128-frame graph cycles at 48 kHz:
//
//   plain     the audio node through a GraphFeed, as before the port;
//   unlinked  through the SharedCycle, the engine reporting into its event
//             list, no port reading it (an unlinked port takes nothing);
//   linked    the same, the port's node taking each cycle's events and
//             writing them as a spa_pod_sequence into a 4 KiB buffer, as
//             the real port does (first in every other cycle).
//
// Every cycle runs the three in turn (in a rotating order), so the machine's
// other work falls on all three alike; it prints the median and the 99th
// percentile of the time per cycle, and the port's own part (cycleEvents
// after the audio node has rendered).
//
//   bench_midi_port [--seconds S]
#include "platform/audio/audio_thread/graph_feed.h"
#include "platform/audio/audio_thread/shared_cycle.h"
#include "platform/audio/calls/sound_system.h"

#include <spa/control/control.h>
#include <spa/pod/builder.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

using namespace platform;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint32_t kRate = 48000;
constexpr uint32_t kPeriod = 128;

double us(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// The real port's writing, into a buffer of its size.
struct SequenceWriter : MidiCycleWriter {
  uint8_t buffer[4096];
  spa_pod_builder builder;
  spa_pod_frame frame;
  uint64_t events = 0;
  void begin() {
    spa_pod_builder_init(&builder, buffer, sizeof buffer);
    spa_pod_builder_push_sequence(&builder, &frame, 0);
  }
  void end() { spa_pod_builder_pop(&builder, &frame); }
  bool put(uint32_t offset, uint32_t packed) noexcept override {
    if (builder.state.offset + 24 > sizeof buffer) return false;
    const uint8_t bytes[3] = {uint8_t(packed), uint8_t(packed >> 8), uint8_t(packed >> 16)};
    spa_pod_builder_control(&builder, offset, SPA_CONTROL_Midi);
    spa_pod_builder_bytes(&builder, bytes, (packed & 0xF0) == 0xC0 ? 2 : 3);
    ++events;
    return true;
  }
};

struct Player {
  std::unique_ptr<SoundSystem> sound;
  HMIDIOUT h = 0;
  explicit Player() {
    SoundSystemOptions o = SoundSystemOptions::offline();
    o.sampleRate = kRate;
    sound = std::make_unique<SoundSystem>(o);
    if (sound->midiOutOpen(&h, MIDI_MAPPER) != MMSYSERR_NOERROR) {
      std::fprintf(stderr, "bench_midi_port: the synthesizer does not open: %s\n", sound->lastError().c_str());
      std::exit(1);
    }
    sound->midiOutShortMsg(h, 0xC0 | 24 << 8);
  }
  void strike(int note) { sound->midiOutShortMsg(h, 0x90 | uint32_t(note) << 8 | 127u << 16); }
  void toneChange(int program) {
    sound->midiOutClose(h);
    sound->midiOutOpen(&h, MIDI_MAPPER);
    sound->midiOutShortMsg(h, 0xC0 | uint32_t(program) << 8);
  }
};

struct Figures {
  std::vector<double> cycle;   // us per cycle
  std::vector<double> port;    // us of the port's own part
  double median(std::vector<double> v) const {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  }
  double p99(std::vector<double> v) const {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, v.size() * 99 / 100)];
  }
};

}  // namespace

int main(int argc, char** argv) {
  double seconds = 60;
  for (int i = 1; i < argc; ++i)
    if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc) seconds = std::atof(argv[++i]);

  Player plain, unlinked, linked;
  GraphFeed feed(plain.sound->engine());
  SharedCycle sharedUnlinked(unlinked.sound->engine());
  SharedCycle sharedLinked(linked.sound->engine());
  SequenceWriter writer;
  std::vector<float> block(size_t(kPeriod) * 2);
  Figures fPlain, fUnlinked, fLinked;

  const uint64_t cycles = uint64_t(seconds * kRate / kPeriod);
  const uint64_t strikeEvery = kRate / 10 / kPeriod, toneEvery = 5 * kRate / kPeriod;
  const int tones[] = {116, 24, 32};
  for (uint64_t c = 0; c < cycles; ++c) {
    if (c % strikeEvery == 0) {
      const int note = int(60 + (c / strikeEvery) * 7 % 25);
      for (Player* p : {&plain, &unlinked, &linked}) p->strike(note);
    }
    if (c % toneEvery == toneEvery - 1)
      for (Player* p : {&plain, &unlinked, &linked}) p->toneChange(tones[(c / toneEvery) % 3]);
    // Every command lands at the start of the next block.
    const int64_t ns = platform::monotonicNs() + 1000000000;
    for (int k = 0; k < 3; ++k) {
      switch ((c + uint64_t(k)) % 3) {
        case 0: {
          const auto t0 = Clock::now();
          feed.fill({c, ns, kPeriod, kPeriod}, block.data());
          fPlain.cycle.push_back(us(Clock::now() - t0));
          break;
        }
        case 1: {
          const auto t0 = Clock::now();
          sharedUnlinked.sound({ns, kPeriod, kPeriod}, block.data());
          fUnlinked.cycle.push_back(us(Clock::now() - t0));
          break;
        }
        case 2: {
          const bool portFirst = c % 2 == 0;
          const auto t0 = Clock::now();
          writer.begin();
          if (portFirst) sharedLinked.cycleEvents(ns, kPeriod, writer);
          sharedLinked.sound({ns, kPeriod, kPeriod}, block.data());
          const auto t1 = Clock::now();
          if (!portFirst) sharedLinked.cycleEvents(ns, kPeriod, writer);
          writer.end();
          const auto t2 = Clock::now();
          fLinked.cycle.push_back(us(t2 - t0));
          if (!portFirst) fLinked.port.push_back(us(t2 - t1));
          break;
        }
      }
    }
  }

  std::printf("MIDI port on the data thread: %llu cycles of %u frames at %u Hz (%.0f s of sound), "
              "a strike every 100 ms, a tone change every 5 s\n\n",
              (unsigned long long)cycles, kPeriod, kRate, seconds);
  // Rows as scripts/bench.sh tables them.
  std::printf("| Data thread per 128-frame cycle, MIDI port absent / unlinked / linked | median %.1f / %.1f / %.1f us, "
              "p99 %.1f / %.1f / %.1f | offline, the real synth, a strike every 100 ms; a cycle lasts %.0f us |\n",
              fPlain.median(fPlain.cycle), fUnlinked.median(fUnlinked.cycle), fLinked.median(fLinked.cycle),
              fPlain.p99(fPlain.cycle), fUnlinked.p99(fUnlinked.cycle), fLinked.p99(fLinked.cycle),
              kPeriod * 1e6 / kRate);
  std::printf("| The MIDI port's own part of a cycle (its events written) | median %.3f us, p99 %.3f | "
              "%llu events in %.0f s |\n",
              fLinked.median(fLinked.port), fLinked.p99(fLinked.port), (unsigned long long)writer.events, seconds);
  std::printf("\nevents written %llu, unheard (unlinked) %llu, late %llu, lost %llu\n",
              (unsigned long long)writer.events, (unsigned long long)sharedUnlinked.eventsUnheard(),
              (unsigned long long)sharedLinked.eventsLate(), (unsigned long long)sharedLinked.eventsLost());
  return 0;
}

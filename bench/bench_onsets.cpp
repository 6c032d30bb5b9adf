// SPDX-License-Identifier: GPL-3.0-or-later
// When each tone's notes first sound, offline: the first sample above
// -60 dBFS after a note-on (reverb off), over every note the instrument sends
// the tone, with the samples' near-silent openings skipped and played, at
// 48 kHz and 44.1 kHz; and what finding the openings adds to the first open.
//
//   bench_onsets [--runs N]
#include "platform/audio/system/fluid_synth.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

using namespace platform;

namespace {

double threadCpuMs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0.0 : v[v.size() / 2];
}

struct Note {
  double onsetMs = 0, peak = 0;
};

Note strike(const FluidSynth& instrument, int program, int note) {
  FluidSynth::Options o;
  o.sampleRate = instrument.sampleRate();
  o.internalReverb = false;
  auto s = instrument.sibling(o);
  s->resetChannels();
  s->dispatch(0xC0u | uint32_t(program) << 8);
  s->dispatch(0x90u | uint32_t(note) << 8 | 127u << 16);
  const size_t frames = size_t(0.5 * o.sampleRate);
  std::vector<float> x(frames * 2);
  s->render(x.data(), uint32_t(frames));
  Note n;
  n.onsetMs = -1;
  for (size_t i = 0; i < x.size(); ++i) {
    const double a = std::fabs(x[i]);
    if (n.onsetMs < 0 && a > 1e-3) n.onsetMs = 1000.0 * double(i / 2) / o.sampleRate;
    n.peak = std::max(n.peak, a);
  }
  return n;
}

std::string range(const std::vector<double>& v) {
  char buf[80];
  std::snprintf(buf, sizeof buf, "%.1f-%.1f (median %.1f)", *std::min_element(v.begin(), v.end()),
                *std::max_element(v.begin(), v.end()), median(v));
  return buf;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 5;
  for (int i = 1; i + 1 < argc; ++i)
    if (!std::strcmp(argv[i], "--runs")) runs = std::max(1, std::atoi(argv[i + 1]));

  std::vector<std::string> table, cost;
  for (uint32_t rate : {48000u, 44100u}) {
    FluidSynth::Options on, off;
    on.sampleRate = off.sampleRate = rate;
    off.skipLeadIns = false;
    std::unique_ptr<FluidSynth> trimmed, whole;
    std::vector<double> wallOn, wallOff, cpuOn, cpuOff;
    std::string error;
    for (int r = 0; r < runs; ++r) {
      for (bool skip : {false, true}) {
        const auto t0 = std::chrono::steady_clock::now();
        const double c0 = threadCpuMs();
        auto made = FluidSynth::createInstrument(InstrumentFonts{}, skip ? on : off, &error);
        const double cpu = threadCpuMs() - c0;
        const double wall = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
        if (!made) {
          std::printf("no instrument: %s\n", error.c_str());
          return 1;
        }
        (skip ? wallOn : wallOff).push_back(wall);
        (skip ? cpuOn : cpuOff).push_back(cpu);
        (skip ? trimmed : whole) = std::move(made);
      }
    }
    char line[200];
    std::snprintf(line, sizeof line, "| %u Hz | %.1f ms (%.1f CPU) | %.1f ms (%.1f CPU) | %+.1f ms (%+.1f CPU) |", rate,
                  median(wallOff), median(cpuOff), median(wallOn), median(cpuOn),
                  median(wallOn) - median(wallOff), median(cpuOn) - median(cpuOff));
    cost.push_back(line);

    const char* names[] = {"OPL.3", "Nylon", "NylonB"};
    for (size_t t = 0; t < FluidSynth::kPrograms.size(); ++t) {
      const int program = FluidSynth::kPrograms[t];
      const int low = program == 116 ? 72 : 60;   // cells 72-84 and frets up to 12
      std::vector<double> before, after;
      double worstDb = 0;
      for (int note = low; note <= low + 24; ++note) {
        const Note a = strike(*whole, program, note), b = strike(*trimmed, program, note);
        before.push_back(a.onsetMs);
        after.push_back(b.onsetMs);
        const double db = 20.0 * std::log10(b.peak / a.peak);
        if (std::fabs(db) > std::fabs(worstDb)) worstDb = db;
      }
      std::snprintf(line, sizeof line, "| %s (%d, notes %d-%d) | %u Hz | %s | %s | %+.2f dB |", names[t], program, low,
                    low + 24, rate, range(before).c_str(), range(after).c_str(), worstDb);
      table.push_back(line);
    }
  }
  std::printf("| Tone | Rate | First sound, ms, from the sample's start | First sound, ms, opening skipped | "
              "Largest peak change |\n|---|---|---|---|---|\n");
  for (const auto& l : table) std::printf("%s\n", l.c_str());
  std::printf("\nFirst open (createInstrument), median of %d:\n\n| Rate | Openings played | Openings skipped | "
              "Added |\n|---|---|---|---|\n",
              runs);
  for (const auto& l : cost) std::printf("%s\n", l.c_str());
  return 0;
}

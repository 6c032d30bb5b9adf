// SPDX-License-Identifier: GPL-3.0-or-later
// Figures for the synthesizer alone, offline: the first open (soundfonts
// loaded with dynamic sample loading, the instrument's presets pinned) in
// time and resident memory, what a sibling instance costs to make and keep,
// and what 32 siblings with about six voices each cost to render, with the
// room's effects inside every instance, without them, and with only their
// sends handed out.
//
//   bench_synth [--siblings N] [--seconds S]
#include "proc_stats.h"
#include "platform/audio/system/fluid_synth.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace platform;
using Clock = std::chrono::steady_clock;

namespace {

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

std::vector<std::string> tableRows;
void row(const std::string& what, const std::string& figure, const std::string& note = "") {
  tableRows.push_back("| " + what + " | " + figure + " | " + note + " |");
}
std::string fmt(const char* f, double a, double b = 0, double c = 0) {
  char buf[200];
  std::snprintf(buf, sizeof buf, f, a, b, c);
  return buf;
}

constexpr uint32_t program(int p) { return 0xC0u | uint32_t(p) << 8; }
constexpr uint32_t noteOn(int n) { return 0x90u | uint32_t(n) << 8 | 127u << 16; }

struct RenderCost {
  double seconds = 0;      // wall time to render
  double cpu = 0;          // CPU time to render (less shaken by other work on the machine)
  double voices = 0;       // mean active voices per instance
  long rssKb = 0;          // resident memory afterwards
};

// `count` siblings of `instrument`, each striking a three-note chord every
// second (about six voices sounding in each), rendered for `seconds`.
RenderCost renderSiblings(const FluidSynth& instrument, const FluidSynth::Options& options, int count,
                          double seconds) {
  std::vector<std::unique_ptr<FluidSynth>> pool;
  for (int i = 0; i < count; ++i) {
    pool.push_back(instrument.sibling(options));
    if (!pool.back()) {
      std::printf("sibling %d could not be made\n", i);
      return {};
    }
    pool.back()->resetChannels();
    pool.back()->dispatch(program(FluidSynth::kPrograms[size_t(i) % 3]));
  }
  constexpr uint32_t kBlock = 256;
  const uint32_t rate = instrument.sampleRate();
  std::vector<float> block(kBlock * 2), mix(kBlock * 2), reverb(kBlock), chorus(kBlock);
  const uint64_t total = uint64_t(seconds * rate);
  double voiceSum = 0;
  uint64_t voiceSamples = 0;
  const auto t0 = Clock::now();
  const double cpu0 = proc::cpuSeconds();
  for (uint64_t done = 0, n = 0; done < total; done += kBlock, ++n) {
    if (done % rate < kBlock) {
      for (int i = 0; i < count; ++i)
        for (int note : {60, 64, 67}) pool[size_t(i)]->dispatch(noteOn(note + i % 12));
    }
    std::fill(mix.begin(), mix.end(), 0.0f);
    for (auto& s : pool) {
      if (options.effectSends) s->renderWithSends(block.data(), reverb.data(), chorus.data(), kBlock);
      else s->render(block.data(), kBlock);
      for (size_t k = 0; k < block.size(); ++k) mix[k] += block[k];
    }
    if (n % 16 == 0) {
      for (auto& s : pool) voiceSum += s->activeVoices();
      voiceSamples += pool.size();
    }
  }
  RenderCost cost;
  cost.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  cost.cpu = proc::cpuSeconds() - cpu0;
  cost.voices = voiceSamples ? voiceSum / double(voiceSamples) : 0;
  cost.rssKb = proc::statusKb("VmRSS:");
  return cost;
}

// Runs `part` in a child process, so that what it allocates is measured
// from the same starting point each time (freed heap is not given back).
// The child's table rows are printed by the child.
template <class F>
void inChild(F part) {
  std::fflush(stdout);
  const pid_t pid = fork();
  if (pid == 0) {
    tableRows.clear();
    part();
    for (const std::string& line : tableRows) std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    _exit(0);
  }
  int status = 0;
  if (pid > 0) waitpid(pid, &status, 0);
}

}  // namespace

int main(int argc, char** argv) {
  int siblings = 32;
  double seconds = 10;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--siblings") == 0) siblings = std::max(1, std::atoi(argv[i + 1]));
    else if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::max(1.0, std::atof(argv[i + 1]));
  }
  std::printf("== Plinkora synthesizer ==\n");
  const long rss0 = proc::statusKb("VmRSS:");

  // ---- the first open: soundfonts and pinned presets ----
  FluidSynth::Options options;
  std::string error;
  auto t0 = Clock::now();
  auto instrument = FluidSynth::createInstrument(InstrumentFonts{}, options, &error);
  const double openMs = ms(Clock::now() - t0);
  if (!instrument) {
    std::printf("no instrument: %s\n", error.c_str());
    return 1;
  }
  const long rssOpen = proc::statusKb("VmRSS:");
  std::printf("soundfonts: %s and %s\n", instrument->soundfontPath().c_str(),
              instrument->opl3Path().empty() ? "(no OPL3 soundfont)" : instrument->opl3Path().c_str());
  std::printf("first open (load + pin three presets): %.1f ms; resident %ld kB before, %ld kB after (+%ld kB)\n",
              openMs, rss0, rssOpen, rssOpen - rss0);
  row("Synth first open (soundfonts with dynamic loading, 3 presets pinned)", fmt("%.0f ms", openMs),
      instrument->opl3Path().empty() ? "General MIDI soundfont only" : "General MIDI + OPL3");
  row("Resident memory of the synth after the first open", fmt("%.1f MB", double(rssOpen - rss0) / 1024.0),
      fmt("%.1f MB for the whole bench process", double(rssOpen) / 1024.0));

  // Played a little, so that the instrument's own buffers are touched.
  instrument->resetChannels();
  instrument->dispatch(program(24));
  instrument->dispatch(noteOn(69));
  std::vector<float> block(512 * 2);
  for (int i = 0; i < 100; ++i) instrument->render(block.data(), 512);
  const long rssPlayed = proc::statusKb("VmRSS:");

  // ---- siblings: making them, by polyphony (voices are most of a synth) ----
  for (int polyphony : {64, 16, 8}) {
    inChild([&] {
      FluidSynth::Options o = options;
      o.polyphony = polyphony;
      std::vector<std::unique_ptr<FluidSynth>> pool;
      const long before = proc::statusKb("VmRSS:");
      t0 = Clock::now();
      for (int i = 0; i < siblings; ++i) pool.push_back(instrument->sibling(o));
      const double makeMs = ms(Clock::now() - t0);
      const long made = proc::statusKb("VmRSS:");
      std::printf("%d siblings of polyphony %d (reverb on, chorus off): made in %.2f ms (%.3f ms each), "
                  "+%ld kB resident (%.0f kB each)\n",
                  siblings, polyphony, makeMs, makeMs / siblings, made - before,
                  double(made - before) / siblings);
      row(fmt("Making %.0f siblings of polyphony %.0f", siblings, polyphony), fmt("%.1f ms", makeMs),
          fmt("%.0f kB resident each", double(made - before) / siblings));
    });
  }
  (void)rssPlayed;

  // ---- siblings: rendering ----
  struct Variant {
    const char* name;
    bool reverb, chorus, sends;
  };
  for (const Variant& v : {Variant{"reverb and chorus off", false, false, false},
                           Variant{"reverb and chorus on", true, true, false},
                           Variant{"effect sends out, effects not run", false, false, true}}) {
    FluidSynth::Options o = options;
    o.internalReverb = v.reverb;
    o.internalChorus = v.chorus;
    o.effectSends = v.sends;
    inChild([&] {
    const long before = proc::statusKb("VmRSS:");
    const RenderCost c = renderSiblings(*instrument, o, siblings, seconds);
    std::printf("%d siblings, %s: %.0f s of audio rendered in %.2f s (%.2f s of CPU: %.1f %% of a core), "
                "%.1f voices each on average, resident +%ld kB while they lived (%.0f kB each)\n",
                siblings, v.name, seconds, c.seconds, c.cpu, 100.0 * c.cpu / seconds, c.voices,
                c.rssKb - before, double(c.rssKb - before) / siblings);
    row(fmt("%.0f siblings rendering, ", siblings) + v.name,
        fmt("%.1f %% of a core", 100.0 * c.cpu / seconds),
        fmt("%.1f voices each; %.0f kB resident each", c.voices, double(c.rssKb - before) / siblings));
    });
  }

  std::printf("\n");
  for (const std::string& line : tableRows) std::printf("%s\n", line.c_str());
  return 0;
}

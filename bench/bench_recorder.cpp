// SPDX-License-Identifier: GPL-3.0-or-later
// Memory and time of a ten-minute take through the wave-audio device, on the
// real engine and synthesizer rendered offline:
//   record: the take's ten minutes rendered through the tap (notes struck
//           throughout), then "stop";
//   store:  "save newSound PATH";
//   save:   "open PATH alias Sound type waveaudio", "save Sound PATH2", "close Sound".
// Memory is what the process gained over the set-up (synthesizer loaded):
// resident set now (VmRSS) and at its peak (VmHWM).
//
// Usage: bench_recorder [minutes]   (default 10; the take is bounded at 10)
#include "proc_stats.h"
#include "platform/waveaudio/mci_device.h"
#include "platform/audio/calls/sound_system.h"

#include <QDir>
#include <QTemporaryDir>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>

using namespace platform;
using Clock = std::chrono::steady_clock;

namespace {

double seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

bool run(WaveAudioDevice& dev, const std::string& cmd) {
  const MCIERROR r = dev.sendString(cmd.c_str());
  if (r != 0) {
    std::fprintf(stderr, "\"%s\" failed: %u %s\n", cmd.c_str(), r, WaveAudioDevice::errorText(r));
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const double minutes = argc > 1 ? std::atof(argv[1]) : 10.0;
  constexpr uint32_t kRate = 44100;
  constexpr uint32_t kBlock = 512;

  QTemporaryDir tmp(QDir::tempPath() + "/plinkora-bench-XXXXXX");
  const std::string folder = tmp.path().toStdString() + "/";

  SoundSystem sound(SoundSystemOptions::offline());
  HMIDIOUT midi = 0;
  if (sound.midiOutOpen(&midi, MIDI_MAPPER) != MMSYSERR_NOERROR) {
    std::fprintf(stderr, "no synthesizer: %s\n", sound.lastError().c_str());
    return 1;
  }
  sound.midiOutShortMsg(midi, 0xC0 | 24 << 8);
  std::vector<float> block(2 * kBlock);
  sound.engine().render(block.data(), kBlock);

  const long rss0 = proc::statusKb("VmRSS:"), hwm0 = proc::statusKb("VmHWM:");
  WaveAudioDevice dev(sound.tapHost(), folder);

  // ---- record ----
  const uint64_t frames = static_cast<uint64_t>(minutes * 60 * kRate);
  const auto t0 = Clock::now();
  if (!run(dev, "open  new alias newSound type waveaudio") ||
      !run(dev, "record newSound from 0 to 600000 overwrite"))
    return 1;
  for (uint64_t done = 0; done < frames; done += kBlock) {
    if (done % (kRate / 2) < kBlock)   // two strikes a second
      sound.midiOutShortMsg(midi, 0x90 | (57 + done / (kRate / 2) % 12) << 8 | 100 << 16);
    sound.engine().render(block.data(), kBlock);
    if ((done / kBlock) % 64 == 63) dev.flush();
  }
  const auto t1 = Clock::now();
  if (!run(dev, "stop newSound")) return 1;
  const auto t2 = Clock::now();
  const long rssRec = proc::statusKb("VmRSS:"), hwmRec = proc::statusKb("VmHWM:");

  // ---- store ----
  const std::string stored = folder + "tempsound.wav";
  const auto t3 = Clock::now();
  if (!run(dev, "save newSound " + stored)) return 1;
  const auto t4 = Clock::now();
  if (!run(dev, "close newSound")) return 1;

  // ---- save ----
  const std::string saved = folder + "saved take.wav";
  const auto t5 = Clock::now();
  if (!run(dev, "open " + stored + " alias Sound type waveaudio") ||
      !run(dev, "save Sound \"" + saved + "\"") || !run(dev, "close Sound"))
    return 1;
  const auto t6 = Clock::now();
  const long rssEnd = proc::statusKb("VmRSS:"), hwmEnd = proc::statusKb("VmHWM:");

  struct stat st {};
  ::stat(saved.c_str(), &st);
  const double audio = static_cast<double>(std::min<uint64_t>(frames, 600000ull * kRate / 1000)) / kRate;
  std::printf("take: %.1f s of audio rendered (%.1f s asked), file %.1f MB\n", audio, frames / double(kRate),
              st.st_size / 1e6);
  std::printf("record: %.3f s rendering through the tap (%.0fx real time), stop %.4f s\n", seconds(t0, t1),
              frames / double(kRate) / seconds(t0, t1), seconds(t1, t2));
  std::printf("store:  %.3f s  (save newSound PATH)\n", seconds(t3, t4));
  std::printf("save:   %.3f s  (open + save Sound PATH2 + close)\n", seconds(t5, t6));
  std::printf("memory added over set-up: after record VmRSS %+ld kB, VmHWM %+ld kB; at end VmRSS %+ld kB, VmHWM %+ld kB\n",
              rssRec - rss0, hwmRec - hwm0, rssEnd - rss0, hwmEnd - hwm0);
  const bool ok = seconds(t3, t4) < 1.0 && seconds(t5, t6) < 1.0 && (hwmEnd - hwm0) < 32 * 1024;
  std::printf("targets (store < 1 s, save < 1 s, < 32 MB added): %s\n", ok ? "met" : "MISSED");
  std::printf("\n| Recorder, %.0f-minute take: store / save | %.3f s / %.3f s | target < 1 s each |\n",
              audio / 60.0, seconds(t3, t4), seconds(t5, t6));
  std::printf("| Recorder, memory added by a %.0f-minute take | %+ld kB | target < 32 MB |\n", audio / 60.0,
              hwmEnd - hwm0);
  sound.midiOutClose(midi);
  return 0;
}

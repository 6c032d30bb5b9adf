// SPDX-License-Identifier: GPL-3.0-or-later
// The program's heap by owner: what each part the program makes at start
// (and while it plays) adds to the heap and to resident memory, made in the
// order the program makes it, in this one process:
//
//   Qt            the application on its window system (QT_QPA_PLATFORM,
//                 xcb when DISPLAY is set), the main window with its pictures
//                 drawn and shown, and the splash
//   soundfonts    the cut-down preset tables and the pinned samples of the
//                 three tones (FluidSynth::loadFonts)
//   instances     the first FluidSynth instance (with the onsets found on a
//                 scratch one), then each further instance
//   rings         the engine's rings and the room, and one ring per pool
//                 instance, at the span of a PulseAudio queue (3 x 1024), of
//                 a PipeWire period (1024), and at the 16384 frames every
//                 output had before
//   start sound   "start.wav" decoded at the engine's rate
//
// Heap: bytes in use by malloc (mallinfo2: arenas and mmapped chunks), so a
// block allocated and never written counts in full; resident: the process's
// anonymous resident memory (/proc/self/status RssAnon), what is written.
//
//   bench_memory [--rate HZ] [--instances N]
#include "proc_stats.h"

#include "app/module1.h"
#include "doubles/test_backend.h"
#include "platform/audio/audio_thread/audio_engine.h"
#include "platform/audio/audio_thread/synth_pool.h"
#include "platform/audio/system/fluid_synth.h"
#include "platform/audio/system/wave_file.h"
#include "platform/real_backend.h"
#include "ui/form1.h"
#include "ui/splash.h"

#include <QApplication>

#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

using namespace platform;

namespace {

struct Mark {
  double heapMb;
  double residentMb;
};

Mark now() {
  const struct mallinfo2 m = mallinfo2();
  return {double(m.uordblks + m.hblkhd) / 1048576.0, double(proc::statusKb("RssAnon:")) / 1024.0};
}

Mark last;
void row(const std::string& owner, const std::string& note = "", int per = 1) {
  const Mark m = now();
  std::printf("| %s | %.2f MB | %.2f MB | %s |\n", owner.c_str(), (m.heapMb - last.heapMb) / per,
              (m.residentMb - last.residentMb) / per, note.c_str());
  last = m;
}

}  // namespace

int main(int argc, char** argv) {
  uint32_t rate = 44100;
  int instances = 32;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--rate") == 0) rate = uint32_t(std::atoi(argv[i + 1]));
    if (std::strcmp(argv[i], "--instances") == 0) instances = std::max(2, std::atoi(argv[i + 1]));
  }
  if (!std::getenv("QT_QPA_PLATFORM"))
    setenv("QT_QPA_PLATFORM", std::getenv("DISPLAY") ? "xcb" : "offscreen", 1);
  const std::string data = RealBackend::DataFolderOf(
      std::filesystem::read_symlink("/proc/self/exe").parent_path().string());

  std::printf("Heap by owner, made in the program's order (%s, engine at %u Hz):\n\n",
              std::getenv("QT_QPA_PLATFORM"), rate);
  std::printf("| Owner | Heap | Resident (anonymous) | Notes |\n|---|---|---|---|\n");
  last = now();
  const Mark start = last;

  QApplication app(argc, argv);
  TestBackend backend;
  backend.appPath = data;
  backend.install();
  Module1::ResetState();
  Module1::AppDir = data;
  Module1::Set_StrNote();
  Module1::ToneNo = 116;
  Module1::Show_NoteNames();
  Module1::Open_MainForm();
  auto* splash = new FrmSplash();
  splash->show();
  for (int i = 0; i < 20; ++i) QCoreApplication::processEvents();
  row("Qt: application, main window shown, splash",
      "window system " + QApplication::platformName().toStdString());
  delete splash;

  std::string error;
  auto fonts = FluidSynth::loadFonts(InstrumentFonts{}, &error);
  if (!fonts) {
    std::printf("no soundfonts: %s\n", error.c_str());
    return 1;
  }
  row("Soundfonts: the three tones' preset tables and pinned samples", "one home synth holds them");

  FluidSynth::Options options;
  options.sampleRate = rate;
  options.polyphony = 8;
  options.internalReverb = false;
  options.internalChorus = false;
  auto first = FluidSynth::createInstrument(fonts, options, &error);
  fonts.reset();
  if (!first) {
    std::printf("no instrument: %s\n", error.c_str());
    return 1;
  }
  row("Synth: the first instance", "with the onsets found on a scratch instance, since freed");
  std::vector<std::unique_ptr<FluidSynth>> siblings;
  for (int i = 1; i < 6; ++i) siblings.push_back(first->sibling(options));
  row("Synth: 5 more instances (the pool at start: 2, then 4 more at once)", "each", 5);
  for (int i = 6; i < instances; ++i) siblings.push_back(first->sibling(options));
  row("Synth: each further instance, up to " + std::to_string(instances), "made as the playing needs them",
      instances - 6);

  // Each output's rings in a child of its own, so that neither finds the
  // other's freed pages already resident.
  using Output = std::pair<const char*, uint32_t>;
  for (const auto& [name, queue] : {Output{"PulseAudio, 3 x 1024 frames queued", 3072},
                                    Output{"PipeWire, periods up to 1024 frames", 1024},
                                    Output{"any output before: 16384 frames", 8192}}) {
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
      const uint32_t span = AudioEngine::spanFor(queue);
      auto engine = std::make_unique<AudioEngine>(rate, span);
      row(std::string("Rings: the engine and its room (") + name + ")",
          std::to_string(span) + "-frame span");
      auto pool = std::make_unique<SynthPool>(rate, span, size_t(instances));
      for (int i = 0; i < 6; ++i) pool->add(i == 0 ? first.get() : siblings[size_t(i - 1)].get());
      row(std::string("Rings: the pool's (") + name + ")", "each instance's", 6);
      std::fflush(stdout);
      _exit(0);
    }
    waitpid(child, nullptr, 0);
  }
  last = now();

  auto wave = loadWave(data + "start.wav", rate, false, &error);
  row("Start sound, decoded", wave ? "kept by the wave cache" : "not decoded: " + error);

  const Mark end = now();
  std::printf("\nIn all: heap %.1f MB, anonymous resident %.1f MB (%d instances); process resident %.1f MB\n",
              end.heapMb - start.heapMb, end.residentMb - start.residentMb, instances,
              double(proc::statusKb("VmRSS:")) / 1024.0);
  unloadForm1();
  return 0;
}

// SPDX-License-Identifier: GPL-3.0-or-later
// What the synthesizer does once it plays: no file read and no allocation
// for anything the audio thread asks of it (notes, tone changes, programs
// outside the map, resets, rendering), and no file read to make a sibling.
// The first open reads only part of the soundfonts.
//
// This program counts every heap call of the process (it replaces malloc
// and its relatives with counting wrappers around glibc's own) and the read
// calls the kernel counts in /proc/self/io.  Each probe is shown to see a
// real preset load first, so that a probe that sees nothing means something.
#include "platform/audio/system/fluid_synth.h"

#include <fluidsynth.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);
}

namespace {
std::atomic<bool> counting{false};
std::atomic<long> heapCalls{0};
// Out of line, so that a debugger can stop at a counted call.
__attribute__((noinline)) void counted() { heapCalls.fetch_add(1, std::memory_order_relaxed); }
inline void count() {
  if (counting.load(std::memory_order_relaxed)) counted();
}
}  // namespace

extern "C" {
void* malloc(size_t n) {
  count();
  return __libc_malloc(n);
}
void* calloc(size_t n, size_t size) {
  count();
  return __libc_calloc(n, size);
}
void* realloc(void* p, size_t n) {
  count();
  return __libc_realloc(p, n);
}
void free(void* p) {
  if (p) count();
  __libc_free(p);
}
void* memalign(size_t align, size_t n) {
  count();
  return __libc_memalign(align, n);
}
void* aligned_alloc(size_t align, size_t n) {
  count();
  return __libc_memalign(align, n);
}
int posix_memalign(void** out, size_t align, size_t n) {
  count();
  void* p = __libc_memalign(align, n);
  if (!p) return ENOMEM;
  *out = p;
  return 0;
}
}

using namespace platform;

namespace {

// The process's read calls and bytes read so far, from /proc/self/io, read
// with plain system calls (no heap).
struct Io {
  long long readCalls = -1, bytes = -1;
};
long long field(const char* text, const char* key) {
  const char* at = std::strstr(text, key);
  return at ? std::strtoll(at + std::strlen(key), nullptr, 10) : -1;
}
Io ioNow() {
  char buf[1024];
  const int fd = ::open("/proc/self/io", O_RDONLY);
  if (fd < 0) return {};
  const ssize_t n = ::read(fd, buf, sizeof buf - 1);
  ::close(fd);
  if (n <= 0) return {};
  buf[n] = 0;
  return {field(buf, "syscr:"), field(buf, "rchar:")};
}

// What a stretch of work cost: heap calls and read calls beyond those the
// probe makes itself.
struct Cost {
  long heap = 0;
  long long reads = 0, bytes = 0;
};
template <class F>
Cost measure(F work) {
  const Io a = ioNow();
  const Io b = ioNow();   // what reading /proc/self/io costs by itself
  heapCalls = 0;
  counting = true;
  work();
  counting = false;
  const Io c = ioNow();
  Cost cost;
  cost.heap = heapCalls.load();
  cost.reads = (c.readCalls - b.readCalls) - (b.readCalls - a.readCalls);
  cost.bytes = c.bytes - b.bytes;
  return cost;
}

constexpr uint32_t programChange(int program, int channel = 0) {
  return uint32_t(0xC0 | channel) | uint32_t(program) << 8;
}
constexpr uint32_t noteOn(int note, int channel = 0) {
  return uint32_t(0x90 | channel) | uint32_t(note) << 8 | 127u << 16;
}
constexpr uint32_t controller(int cc, int value, int channel = 0) {
  return uint32_t(0xB0 | channel) | uint32_t(cc) << 8 | uint32_t(value) << 16;
}

long long fileSize(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? (long long)st.st_size : -1;
}

}  // namespace

// The probe is sound: a FluidSynth with dynamic sample loading that selects
// a preset nobody pinned reads the soundfont and allocates.
TEST(Footprint, TheProbeSeesAPresetLoad) {
  const auto gm = existingSoundfonts(defaultSoundfontSearch());
  ASSERT_FALSE(gm.empty()) << "no General MIDI soundfont installed";
  ASSERT_GE(ioNow().readCalls, 0) << "/proc/self/io is not readable";
  fluid_settings_t* settings = new_fluid_settings();
  fluid_settings_setint(settings, "synth.dynamic-sample-loading", 1);
  fluid_synth_t* synth = new_fluid_synth(settings);
  ASSERT_NE(fluid_synth_sfload(synth, gm.front().c_str(), 0), FLUID_FAILED);
  const Cost c = measure([&] { fluid_synth_program_change(synth, 0, 0); });
  EXPECT_GT(c.reads, 0);
  EXPECT_GT(c.bytes, 4096);
  EXPECT_GT(c.heap, 0);
  delete_fluid_synth(synth);
  delete_fluid_settings(settings);
}

namespace {

// Everything the audio thread may ask of an instance, from the first reset
// (an open) on, with `render` called for the sound in between.
template <class Render>
void play(FluidSynth* const* all, size_t count, Render render) {
  for (size_t i = 0; i < count; ++i) all[i]->resetChannels();
  for (int round = 0; round < 3; ++round) {
    for (size_t i = 0; i < count; ++i) {
      FluidSynth* s = all[i];
      // Tone changes as the program makes them, each with a chord.
      for (int program : {116, 24, 32}) {
        s->releaseAll();
        s->dispatch(programChange(program));
        for (int note : {72, 76, 79, 84}) s->dispatch(noteOn(note));
        render(s, 512);
      }
      // Every other program, on several channels, the drum channel among
      // them, also after a bank select.
      for (int program = 0; program < 128; ++program) {
        const int ch = program % 3 == 0 ? 9 : program % 16;
        s->dispatch(controller(0, program % 2, ch));
        s->dispatch(programChange(program, ch));
        s->dispatch(noteOn(60 + program % 24, ch));
      }
      render(s, 4096);
      s->silence();
      render(s, 256);
      s->unsetPrograms();
      s->dispatch(noteOn(60));
      render(s, 256);
      s->resetChannels();
    }
  }
  for (int i = 0; i < 200; ++i)
    for (size_t k = 0; k < count; ++k) render(all[k], 441);   // two seconds of dying away
}

float block[2 * 4096], reverbSend[4096], chorusSend[4096];

std::unique_ptr<FluidSynth> instrumentOrFail() {
  std::string error;
  auto instrument = FluidSynth::createInstrument(InstrumentFonts{}, FluidSynth::Options{}, &error);
  EXPECT_NE(instrument, nullptr) << error;
  return instrument;
}

}  // namespace

// Messages (notes, tone changes, programs outside the map, resets) allocate
// nothing, in the instrument and its siblings, with and without the room's
// effects, and nothing at all reads a file.  The heap is not watched while
// instances with effects render: Debian's FluidSynth runs its effects in an
// OpenMP region, and OpenMP makes and frees a one-thread team for every
// render call (the figure is printed).
TEST(Footprint, MessagesAllocateNothingAndNothingReadsAFile) {
  auto instrument = instrumentOrFail();
  ASSERT_NE(instrument, nullptr);
  FluidSynth::Options chorus, sends, dry;
  chorus.internalChorus = true;
  sends.effectSends = true;
  dry.internalReverb = false;
  auto a = instrument->sibling(chorus), b = instrument->sibling(sends), c = instrument->sibling(dry);
  FluidSynth* all[] = {instrument.get(), a.get(), b.get(), c.get()};
  long renderHeap = 0, renders = 0;
  const Cost cost = measure([&] {
    play(all, 4, [&](FluidSynth* s, uint32_t n) {
      const long before = heapCalls.load();
      s->renderWithSends(block, reverbSend, chorusSend, n);
      renderHeap += heapCalls.load() - before;
      ++renders;
    });
  });
  EXPECT_EQ(cost.reads, 0) << cost.bytes << " bytes read";
  EXPECT_EQ(cost.heap - renderHeap, 0) << "heap calls for messages";
  std::printf("heap calls in rendering with effects: %ld in %ld render calls\n", renderHeap, renders);
}

// Rendering without the room's effects in the instance (the room made
// elsewhere): not one heap call.
TEST(Footprint, RenderingDryAllocatesNothing) {
  auto instrument = instrumentOrFail();
  ASSERT_NE(instrument, nullptr);
  FluidSynth::Options dry;
  dry.internalReverb = false;
  dry.internalChorus = false;
  auto a = instrument->sibling(dry), b = instrument->sibling(dry);
  FluidSynth* all[] = {a.get(), b.get()};
  const Cost c = measure([&] { play(all, 2, [](FluidSynth* s, uint32_t n) { s->render(block, n); }); });
  EXPECT_EQ(c.reads, 0) << c.bytes << " bytes read";
  EXPECT_EQ(c.heap, 0) << "heap calls while rendering";
}

TEST(Footprint, ASiblingReadsNoFile) {
  std::string error;
  auto instrument = FluidSynth::createInstrument(InstrumentFonts{}, FluidSynth::Options{}, &error);
  ASSERT_NE(instrument, nullptr) << error;
  std::unique_ptr<FluidSynth> sibling;
  const Cost c = measure([&] { sibling = instrument->sibling({}); });
  ASSERT_NE(sibling, nullptr);
  EXPECT_EQ(c.reads, 0) << c.bytes << " bytes read for a sibling";
  EXPECT_GT(c.heap, 0);   // it is a whole synth of its own
}

// Dynamic sample loading at work: the first open reads the soundfonts'
// structure and the three tones' samples, a small part of the files.
TEST(Footprint, TheFirstOpenReadsOnlyAPartOfTheSoundfonts) {
  std::unique_ptr<FluidSynth> instrument;
  std::string error;
  const Cost c = measure(
      [&] { instrument = FluidSynth::createInstrument(InstrumentFonts{}, FluidSynth::Options{}, &error); });
  ASSERT_NE(instrument, nullptr) << error;
  long long whole = fileSize(instrument->soundfontPath());
  if (!instrument->opl3Path().empty()) whole += fileSize(instrument->opl3Path());
  EXPECT_GT(c.bytes, 0);
  EXPECT_LT(c.bytes, whole / 5) << c.bytes << " of " << whole << " bytes read";
}

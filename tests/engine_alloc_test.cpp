// SPDX-License-Identifier: GPL-3.0-or-later
// The audio thread's calls allocate nothing: this program replaces the
// global operator new and the C allocator (which FluidSynth uses) with
// counting versions, and counts while the engine renders strikes, rewrites,
// a full pool, tone changes and the wave channel.
#include "platform/audio/audio_thread/shared_cycle.h"
#include "platform/audio/calls/sound_system.h"
#include "sound_test_util.h"
#include "support/support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <cstdlib>
#include <new>

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);
}

namespace {
thread_local bool counting = false;
std::atomic<int> allocations{0};
// PLINKORA_ABORT_ON_ALLOCATION=1 stops at the first one, for a backtrace.
void note() {
  if (counting) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (std::getenv("PLINKORA_ABORT_ON_ALLOCATION")) std::abort();
  }
}
}  // namespace

extern "C" {
void* malloc(size_t n) {
  note();
  return __libc_malloc(n);
}
void* calloc(size_t a, size_t b) {
  note();
  return __libc_calloc(a, b);
}
void* realloc(void* p, size_t n) {
  note();
  return __libc_realloc(p, n);
}
void free(void* p) { __libc_free(p); }
int posix_memalign(void** out, size_t align, size_t n) {
  note();
  *out = __libc_memalign(align, n);
  return *out ? 0 : ENOMEM;
}
void* aligned_alloc(size_t align, size_t n) {
  note();
  return __libc_memalign(align, n);
}
void* memalign(size_t align, size_t n) {
  note();
  return __libc_memalign(align, n);
}
}

void* operator new(size_t n) {
  note();
  if (void* p = __libc_malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t n) { return operator new(n); }
void operator delete(void* p) noexcept { __libc_free(p); }
void operator delete[](void* p) noexcept { __libc_free(p); }
void operator delete(void* p, size_t) noexcept { __libc_free(p); }
void operator delete[](void* p, size_t) noexcept { __libc_free(p); }

using namespace platform;
using namespace soundtest;

namespace {

struct Counted {
  Counted() { counting = true; }
  ~Counted() { counting = false; }
};

}  // namespace

TEST(AudioThread, TheCountingAllocatorSeesAllocations) {
  // The check below could not fail if the counter were blind.
  const int before = allocations.load();
  {
    Counted c;
    std::vector<int> v(100);
    void* p = std::malloc(10);
    std::free(p);
    EXPECT_EQ(v.size(), 100u);
  }
  EXPECT_GE(allocations.load() - before, 2);
}

TEST(AudioThread, RenderingAllocatesNothing) {
  if (existingSoundfonts(defaultSoundfontSearch()).empty()) GTEST_SKIP() << "no soundfont installed";
  testing_support::ScratchDir dir;
  std::vector<float> loop(2 * 5000);
  for (size_t i = 0; i < loop.size(); ++i) loop[i] = 0.2f * float(std::sin(0.02 * double(i)));
  ASSERT_TRUE(writeFloatWav(dir.path + "loop.wav", loop, 2, 44100));

  SoundSystemOptions o = SoundSystemOptions::offline();
  o.poolSize = 4;   // small, so that notes take over sounding instances
  SoundSystem sound(o);
  AudioEngine& engine = sound.engine();
  HMIDIOUT h = 0;
  ASSERT_EQ(sound.midiOutOpen(&h, MIDI_MAPPER), MMSYSERR_NOERROR);
  sound.midiOutShortMsg(h, 0xC0 | 116 << 8);

  struct Tap : AudioTap {
    uint64_t frames = 0;
    void onMix(const float*, uint32_t n) noexcept override { frames += n; }
  } tap;
  engine.attachTap(&tap);

  std::vector<float> block(size_t(AudioEngine::kSpanFrames) * 2);
  const int tones[] = {116, 24, 32};
  uint64_t read = 0;
  int counted = 0;
  auto round = [&](uint64_t play) {
    // The server has played `play` more frames; the queue is 2048 deep.
    read += play;
    Counted c;
    const auto u = engine.advance(read, 88, read + 2048);
    engine.read(u.from, uint32_t(u.to - u.from), block.data());
    ++counted;
  };
  const int before = allocations.load();
  round(0);
  for (int step = 0; step < 300; ++step) {
    sound.midiOutShortMsg(h, 0x90 | uint32_t(60 + step % 25) << 8 | 127u << 16);
    if (step % 37 == 36) {
      sound.midiOutClose(h);
      sound.midiOutOpen(&h, MIDI_MAPPER);
      sound.midiOutShortMsg(h, 0xC0 | uint32_t(tones[step % 3]) << 8);
    }
    if (step % 29 == 0) sound.sndPlaySound((dir.path + "loop.wav").c_str(), SND_ASYNC | SND_LOOP);
    if (step % 29 == 14) sound.sndPlaySound(nullptr, SND_NODEFAULT);
    round(300 + step % 700);
    if (step % 5 == 0) {
      Counted c;
      engine.render(block.data(), 512);   // the offline path as well
    }
  }
 EXPECT_EQ(allocations.load() - before, 0) << "over " << counted << " rounds";
  EXPECT_GT(engine.synthSteals(), 0u);
  EXPECT_GT(engine.framesRewritten(), 0u);
  EXPECT_GT(tap.frames, 100000u);
  engine.detachTap(&tap);
}

TEST(AudioThread, AGraphCycleSharedWithTheMidiPortAllocatesNothing) {
  if (existingSoundfonts(defaultSoundfontSearch()).empty()) GTEST_SKIP() << "no soundfont installed";
  SoundSystemOptions o = SoundSystemOptions::offline();
  o.sampleRate = 48000;
  o.poolSize = 4;
  SoundSystem sound(o);
  SharedCycle shared(sound.engine());
  HMIDIOUT h = 0;
  ASSERT_EQ(sound.midiOutOpen(&h, MIDI_MAPPER), MMSYSERR_NOERROR);
  sound.midiOutShortMsg(h, 0xC0 | 24 << 8);

  struct Port : MidiCycleWriter {
    uint64_t events = 0;
    bool put(uint32_t, uint32_t) noexcept override {
      ++events;
      return true;
    }
  } port;
  std::vector<float> block(256 * 2);
  const int before = allocations.load();
  for (int step = 0; step < 400; ++step) {
    sound.midiOutShortMsg(h, 0x90 | uint32_t(60 + step % 13) << 8 | 127u << 16);
    if (step % 41 == 40) {
      sound.midiOutClose(h);
      sound.midiOutOpen(&h, MIDI_MAPPER);
      sound.midiOutShortMsg(h, 0xC0 | 32 << 8);
    }
    for (int c = 0; c < 4; ++c) {
      const int64_t ns = monotonicNs() + 1000000000;   // every command lands at the start of the next block
      Counted counted;
      // The port runs first, after, or not at all (unlinked).
      if (step % 3 == 0) shared.cycleEvents(ns, 256, port);
      shared.sound({ns, 256, 256}, block.data());
      if (step % 3 == 1) shared.cycleEvents(ns, 256, port);
    }
  }
  EXPECT_EQ(allocations.load() - before, 0);
  EXPECT_GT(port.events, 300u);
  EXPECT_GT(shared.eventsUnheard(), 100u);
  EXPECT_EQ(shared.eventsLost(), 0u);
}

TEST(AudioThread, InstancesJoinTheGrowingPoolWithoutAnAllocation) {
  if (existingSoundfonts(defaultSoundfontSearch()).empty()) GTEST_SKIP() << "no soundfont installed";
  SoundSystemOptions o = SoundSystemOptions::offline();
  o.poolSize = 16;
  o.initialInstances = 2;
  o.earlyInstances = 0;
  o.spareInstances = 6;
  SoundSystem sound(o);
  AudioEngine& engine = sound.engine();
  HMIDIOUT h = 0;
  ASSERT_EQ(sound.midiOutOpen(&h, MIDI_MAPPER), MMSYSERR_NOERROR);
  sound.midiOutShortMsg(h, 0xC0 | 24 << 8);
  std::vector<float> block(2 * 512);
  auto settle = [&] {
    for (int i = 0; i < 5000 && !sound.poolSettled(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  };
  const int before = allocations.load();
  for (int step = 0; step < 24; ++step) {
    sound.midiOutShortMsg(h, 0x90 | uint32_t(48 + step) << 8 | 127u << 16);
    {
      Counted c;   // the note, and the request for more instances
      engine.render(block.data(), 512);
    }
    settle();   // made on the helper thread meanwhile
    {
      Counted c;   // they join the pool here
      engine.render(block.data(), 512);
    }
  }
  EXPECT_EQ(allocations.load() - before, 0);
  EXPECT_EQ(sound.poolInstances(), 16u);   // it grew to the full pool
  EXPECT_GE(engine.instancesSounding(), 12);
}

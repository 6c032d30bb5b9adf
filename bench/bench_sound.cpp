// SPDX-License-Identifier: GPL-3.0-or-later
// Figures for the sound path: opening the device (soundfont load), resident
// memory, the cost of a note-on in the UI thread, reopen cost, time from a
// note-on to its first sound at the server's play position, the output's
// queue and underruns, CPU idle and while playing.  Uses the sound server
// when one answers, else renders offline at the output's pace and says so.
// Then, in process, what the room costs behind a queue and in a graph.
//
//   bench_sound [--period FRAMES] [--periods N] [--busy SECS] [--pool INSTANCES]
//                               the report, with another output buffering if asked
//   bench_sound --room          the room's figures only
//   bench_sound --listen SECS   open the device and pluck note 69 with program 24, then wait
//   bench_sound --pitch FILE    pitch of the loudest stretch of a recorded sound file
#include "proc_stats.h"
#include "platform/audio/audio_thread/room_path.h"
#include "platform/audio/audio_thread/synth_pool.h"
#include "platform/audio/system/pulse_output.h"
#include "platform/real_backend.h"
#include "platform/audio/calls/sound_system.h"

#include <sndfile.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace platform;
using Clock = std::chrono::steady_clock;

namespace {

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }
double nowNs() { return double(Clock::now().time_since_epoch().count()); }

// Rows of the summary table printed at the end ("| what | figure | note |"),
// which scripts/bench.sh gathers from every benchmark.
std::vector<std::string> tableRows;
void row(const std::string& what, const std::string& figure, const std::string& note = "") {
  tableRows.push_back("| " + what + " | " + figure + " | " + note + " |");
}
std::string fmt(const char* f, double a, double b = 0, double c = 0) {
  char buf[200];
  std::snprintf(buf, sizeof buf, f, a, b, c);
  return buf;
}

struct Stats {
  std::vector<double> v;
  void add(double x) { v.push_back(x); }
  double median() { std::sort(v.begin(), v.end()); return v.empty() ? NAN : v[v.size() / 2]; }
  double p99() { std::sort(v.begin(), v.end()); return v.empty() ? NAN : v[v.size() * 99 / 100]; }
  double max() { return v.empty() ? NAN : *std::max_element(v.begin(), v.end()); }
  std::string str(const char* unit) {
    if (v.empty()) return "no samples";
    std::sort(v.begin(), v.end());
    double sum = 0;
    for (double x : v) sum += x;
    char b[200];
    std::snprintf(b, sizeof b, "min %.3f / median %.3f / mean %.3f / p95 %.3f / max %.3f %s (n=%zu)",
                  v.front(), v[v.size() / 2], sum / double(v.size()), v[v.size() * 95 / 100],
                  v.back(), unit, v.size());
    return b;
  }
};

// Watches the final output mix: when armed, notes the engine frame of the
// first non-silent sample (and when it became final).  "Silent" is below
// 1e-6.  The tap runs on the audio thread inside the engine, so the
// engine's final point is the start of the block it is handed (or, for a
// block that wraps the engine's ring, the end of the one before).
struct OnsetTap : AudioTap {
  explicit OnsetTap(AudioEngine& e) : engine(e) {}
  AudioEngine& engine;
  std::atomic<bool> armed{false};
  std::atomic<double> firedNs{0};
  std::atomic<uint64_t> frame{0};
  std::atomic<int> quietBlocks{0};
  uint64_t prevBase = UINT64_MAX, next = 0;
  void onMix(const float* x, uint32_t frames) noexcept override {
    const uint64_t base = engine.finalFrames();
    const uint64_t start = base == prevBase ? next : base;
    prevBase = base;
    next = start + frames;
    int first = -1;
    float p = 0.0f;
    for (uint32_t i = 0; i < frames * 2; ++i) {
      const float a = std::fabs(x[i]);
      p = std::max(p, a);
      if (first < 0 && a > 1e-6f) first = int(i / 2);
    }
    quietBlocks.store(p < 5e-7f ? quietBlocks.load(std::memory_order_relaxed) + 1 : 0,
                      std::memory_order_relaxed);
    if (armed.load(std::memory_order_acquire) && first >= 0) {
      frame.store(start + uint64_t(first), std::memory_order_relaxed);
      firedNs.store(nowNs(), std::memory_order_relaxed);
      armed.store(false, std::memory_order_release);
    }
  }
};

// Stands in for the output when there is no sound server: renders a period
// at the rate a sound card would take it.
struct PacedRenderer {
  std::atomic<bool> run{true};
  std::thread thread;
  PacedRenderer(AudioEngine& engine, uint32_t period) {
    thread = std::thread([this, &engine, period] {
      std::vector<float> block(size_t(period) * 2);
      auto next = Clock::now();
      const auto step = std::chrono::nanoseconds(uint64_t(period * 1e9 / engine.sampleRate()));
      while (run.load()) {
        engine.render(block.data(), period);
        next += step;
        std::this_thread::sleep_until(next);
      }
    });
  }
  ~PacedRenderer() {
    run = false;
    thread.join();
  }
};

constexpr uint32_t kProgram24 = 0xC0 | 24 << 8;
constexpr uint32_t kNote69 = 0x90 | 69 << 8 | 127 << 16;
constexpr uint32_t kAllSoundOff = 0xB0 | 120 << 8;

double pitchOfFile(const char* path) {
  SF_INFO info{};
  SNDFILE* f = sf_open(path, SFM_READ, &info);
  if (!f) {
    std::printf("cannot read %s\n", path);
    return 0;
  }
  std::vector<float> all(size_t(info.frames) * size_t(info.channels));
  sf_readf_float(f, all.data(), info.frames);
  sf_close(f);
  std::vector<float> x(size_t(info.frames));
  for (size_t i = 0; i < x.size(); ++i) x[i] = all[i * size_t(info.channels)];
  const double rate = info.samplerate;
  // The loudest 0.3 s window, stepped by 50 ms, skipping the first 50 ms of the attack.
  const size_t len = size_t(0.3 * rate);
  size_t best = 0;
  double bestE = -1;
  for (size_t s = 0; s + len < x.size(); s += size_t(0.05 * rate)) {
    double e = 0;
    for (size_t i = s; i < s + len; ++i) e += double(x[i]) * x[i];
    if (e > bestE) bestE = e, best = s;
  }
  best = std::min(best + size_t(0.05 * rate), x.size() > len ? x.size() - len : 0);
  if (x.size() < len + 1) return 0;
  // Normalised square difference, first peak within 90 % of the highest.
  const size_t maxLag = size_t(rate / 60), minLag = size_t(rate / 2500);
  std::vector<double> n(maxLag + 2);
  for (size_t tau = 0; tau < n.size(); ++tau) {
    double acf = 0, m = 0;
    for (size_t i = best; i + tau < best + len; ++i) {
      acf += double(x[i]) * x[i + tau];
      m += double(x[i]) * x[i] + double(x[i + tau]) * x[i + tau];
    }
    n[tau] = m > 0 ? 2 * acf / m : 0;
  }
  double top = 0;
  for (size_t t = minLag; t <= maxLag; ++t) top = std::max(top, n[t]);
  for (size_t t = minLag; t <= maxLag; ++t)
    if (n[t] >= 0.9 * top && n[t] >= n[t - 1] && n[t] >= n[t + 1]) {
      const double d = n[t - 1] - 2 * n[t] + n[t + 1];
      return rate / (double(t) + (d != 0 ? 0.5 * (n[t - 1] - n[t + 1]) / d : 0));
    }
  return 0;
}

int listen(double seconds) {
  SoundSystem sound;
  HMIDIOUT h = 0;
  if (MMRESULT r = sound.midiOutOpen(&h, MIDI_MAPPER)) {
    std::printf("midiOutOpen failed (%u): %s\n", r, sound.lastError().c_str());
    return 1;
  }
  sound.midiOutShortMsg(h, kProgram24);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  sound.midiOutShortMsg(h, kNote69);
  std::printf("plucked note 69 with program 24 (%s)\n", sound.output()->describe().c_str());
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  sound.midiOutClose(h);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  return 0;
}

std::string dataFile(const char* name) {
  char exe[4096] = {};
  const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
  std::string dir = n > 0 ? std::string(exe, size_t(n)) : std::string();
  dir = dir.substr(0, dir.rfind('/'));
  return dir + "/../share/plinkora/" + name;
}

// ---- the room ----

// A stand-in instrument for the room's figures: it hisses while it plays.
class HissSynth : public SynthInstance {
public:
  void render(float* out, uint32_t frames) noexcept override {
    for (uint32_t i = 0; i < frames * 2; ++i) {
      seed_ ^= seed_ << 13, seed_ ^= seed_ >> 17, seed_ ^= seed_ << 5;
      out[i] = playing_ ? 0.1f * (float(seed_ & 0xFFFF) / 32768.0f - 1.0f) : 0.0f;
    }
  }
  void dispatch(uint32_t packed) noexcept override { playing_ |= (packed & 0xF0) == 0x90; }
  void releaseAll() noexcept override {}
  void silence() noexcept override { playing_ = false; }
  void resetChannels() noexcept override {}
  int activeVoices() const noexcept override { return playing_ ? 1 : 0; }

private:
  uint32_t seed_ = 2463534242u;
  bool playing_ = false;
};

// The room's part of the engine's rounds, timed alone: a server that takes
// `period` frames a round and keeps `queue` frames queued (queue == period:
// a graph, nothing replaceable), a strike into the queued audio every
// `strikeEvery` rounds (0: none), the instruments sounding or not.
struct RoomCost {
  double nsPerFrame = 0;    // renderNew and finalizeTo, per frame rendered
  double usPerRewrite = 0;  // rewrite, per strike
  double framesPerRerun = 0;
};
RoomCost roomRounds(uint32_t period, uint32_t queue, int strikeEvery, bool sounding, double seconds) {
  constexpr uint32_t kRoomRate = 44100, kGuard = 88;
  HissSynth synths[4];
  SynthPool pool(kRoomRate);
  for (HissSynth& s : synths) pool.add(&s);
  RoomPath room(kRoomRate);
  room.enable(true);
  if (sounding) pool.noteOn(kNote69, 0, 0);
  uint64_t final = 0, written = 0, strikes = 0;
  double renderNs = 0, rewriteNs = 0;
  const uint64_t rounds = uint64_t(seconds * kRoomRate / period);
  for (uint64_t r = 0; r < rounds; ++r) {
    if (written >= queue) final = std::max(final, written + period - queue);
    auto a = Clock::now();
    room.finalizeTo(final);
    renderNs += double((Clock::now() - a).count());
    if (strikeEvery && r % uint64_t(strikeEvery) == 0 && queue > period) {
      const uint64_t at = std::min(final + kGuard, written);
      pool.noteOn(kNote69, at, written);
      a = Clock::now();
      room.rewrite(&pool, at, written);
      rewriteNs += double((Clock::now() - a).count());
      ++strikes;
    }
    const uint64_t end = final + queue;
    pool.renderNext(written, uint32_t(end - written));
    a = Clock::now();
    room.renderNew(&pool, written, end);
    renderNs += double((Clock::now() - a).count());
    written = end;
    pool.forget(final);
  }
  RoomCost c;
  c.nsPerFrame = renderNs / double(written);
  c.usPerRewrite = strikes ? rewriteNs / 1000.0 / double(strikes) : 0;
  c.framesPerRerun = room.reruns() ? double(room.framesRerun()) / double(room.reruns()) : 0;
  return c;
}

void roomFigures() {
  std::printf("the room (in process, timed alone; a stand-in instrument hisses):\n");
  RoomReverb reverb(44100);
  std::vector<float> in(1024, 0.01f), out(2048);
  const auto a = Clock::now();
  for (int i = 0; i < 430; ++i) reverb.process(in.data(), out.data(), 1024);
  const double reverbNs = double((Clock::now() - a).count()) / (430.0 * 1024);
  std::printf("  the reverb alone, ringing: %.1f ns a frame\n", reverbNs);
  row("Room reverb alone, ringing", fmt("%.1f ns a frame", reverbNs), "what the room cost when it ran once per frame");

  const RoomCost queued = roomRounds(1024, 3072, 10, true, 20);
  std::printf("  behind a 3072-frame queue (1024 a round), sounding, a strike every 10 rounds: %.1f ns a frame; "
              "a rewrite %.1f us (the room ran again over %.0f frames)\n",
              queued.nsPerFrame, queued.usPerRewrite, queued.framesPerRerun);
  row("Room behind a 3072-frame queue, sounding", fmt("%.1f ns a frame", queued.nsPerFrame),
      "sends, the live reverb, the reverb kept at the final point");
  row("Room rewritten by a strike into a 3072-frame queue", fmt("%.1f us a strike", queued.usPerRewrite),
      fmt("state copy + %.0f frames run again", queued.framesPerRerun));
  const RoomCost graph = roomRounds(128, 128, 10, true, 20);
  std::printf("  in a graph of 128-frame cycles, sounding: %.1f ns a frame\n", graph.nsPerFrame);
  row("Room in a 128-frame graph, sounding", fmt("%.1f ns a frame", graph.nsPerFrame), "nothing runs again");
  const RoomCost idleQueued = roomRounds(1024, 3072, 0, false, 20);
  const RoomCost idleGraph = roomRounds(128, 128, 0, false, 20);
  std::printf("  idle (nothing sounding, the room rested): %.2f ns a frame behind the queue, %.2f in the graph\n",
              idleQueued.nsPerFrame, idleGraph.nsPerFrame);
  row("Room idle", fmt("%.2f ns a frame (queue), %.2f (graph)", idleQueued.nsPerFrame, idleGraph.nsPerFrame));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--listen") == 0) return listen(std::atof(argv[2]));
  if (argc == 2 && std::strcmp(argv[1], "--room") == 0) {
    roomFigures();
    for (const std::string& line : tableRows) std::printf("%s\n", line.c_str());
    return 0;
  }
  if (argc == 3 && std::strcmp(argv[1], "--pitch") == 0) {
    std::printf("pitch of %s: %.2f Hz\n", argv[2], pitchOfFile(argv[2]));
    return 0;
  }

  PulseOutput::Config outputConfig = PulseOutput::configFromEnvironment();
  int busySeconds = 10;
  int poolSize = SoundSystemOptions{}.poolSize;
  int sessionSeconds = 0;   // only the busy stretch, this long
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--session") == 0) sessionSeconds = std::max(1, std::atoi(argv[i + 1]));
    if (std::strcmp(argv[i], "--period") == 0) outputConfig.periodFrames = uint32_t(std::atoi(argv[i + 1]));
    else if (std::strcmp(argv[i], "--periods") == 0) outputConfig.bufferPeriods = uint32_t(std::atoi(argv[i + 1]));
    else if (std::strcmp(argv[i], "--busy") == 0) busySeconds = std::max(1, std::atoi(argv[i + 1]));
    else if (std::strcmp(argv[i], "--pool") == 0) poolSize = std::max(1, std::atoi(argv[i + 1]));
  }
  if (sessionSeconds) busySeconds = sessionSeconds;
  std::printf("== Plinkora sound path ==\n");
  const long rss0 = proc::statusKb("VmRSS:");

  // ---- opening the device: soundfont load (+ output start) ----
  SoundSystemOptions liveOptions;
  liveOptions.makeOutput = [outputConfig] { return std::make_unique<PulseOutput>(outputConfig); };
  liveOptions.poolSize = poolSize;
  auto sound = std::make_unique<SoundSystem>(liveOptions);
  HMIDIOUT h = 0;
  auto t0 = Clock::now();
  MMRESULT r = sound->midiOutOpen(&h, MIDI_MAPPER);
  const double openMs = ms(Clock::now() - t0);
  bool live = r == MMSYSERR_NOERROR;
  if (!live) {
    std::printf("no sound server (%s): falling back to offline rendering at the output's pace\n",
                sound->lastError().c_str());
    sound = std::make_unique<SoundSystem>(SoundSystemOptions::offline());
    t0 = Clock::now();
    r = sound->midiOutOpen(&h, MIDI_MAPPER);
    if (r != MMSYSERR_NOERROR) {
      std::printf("midiOutOpen failed offline too: %s\n", sound->lastError().c_str());
      return 1;
    }
    std::printf("first midiOutOpen (soundfont load only): %.1f ms\n", ms(Clock::now() - t0));
  } else {
    std::printf("first midiOutOpen (soundfont load + output start): %.1f ms\n", openMs);
    if (!sessionSeconds) row("First midiOutOpen (soundfont load + output start)", fmt("%.0f ms", openMs));
  }
  std::printf("soundfont: %s\n", sound->soundfontPath().c_str());
  std::printf("resident memory: %ld kB before, %ld kB after the open\n", rss0, proc::statusKb("VmRSS:"));

  AudioEngine& engine = sound->engine();
  std::unique_ptr<PacedRenderer> paced;
  uint32_t period = 256;
  if (live) {
    period = sound->output()->periodFrames();
    // Wait until the server pulls blocks at the output's rate.  A null sink
    // that has just woken up sits on its first two-second block before it
    // asks for more, which is the sink's doing, not the stream's.
    const auto start = Clock::now();
    double flowing = -1;
    while (Clock::now() - start < std::chrono::seconds(6)) {
      const uint64_t a = engine.framesRendered();
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      if (engine.framesRendered() - a > engine.sampleRate() / 20) {
        flowing = ms(Clock::now() - start);
        break;
      }
    }
    std::printf("stream flowing %.0f ms after the open%s\n", flowing,
                flowing < 0 ? " (never: the server does not pull)" : "");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));   // let the stream settle
    std::printf("%s\n", sound->output()->describe().c_str());
    std::printf("device-reported latency (buffer + sink): %.2f ms; underruns while starting: %llu\n",
                sound->output()->latencyMs(), (unsigned long long)sound->output()->underruns());
    if (!sessionSeconds) row("Audio output's reported latency (buffer + sink)", fmt("%.1f ms", sound->output()->latencyMs()),
        sound->output()->describe());
  } else {
    paced = std::make_unique<PacedRenderer>(engine, period);
    std::printf("offline: a thread renders %u-frame periods every %.2f ms\n", period,
                period * 1000.0 / engine.sampleRate());
  }

  // ---- reopen: close + open as a tone change does ----
  if (!sessionSeconds) {
    Stats reopen;
    for (int batch = 0; batch < 20; ++batch) {
      for (int i = 0; i < 50; ++i) {
        const auto a = Clock::now();
        sound->midiOutClose(h);
        sound->midiOutOpen(&h, MIDI_MAPPER);
        reopen.add(ms(Clock::now() - a) * 1000.0);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(15));   // let the audio thread drain
    }
    std::printf("close + open: %s; soundfont loads so far: %d\n", reopen.str("us").c_str(),
                sound->soundfontLoads());
  }

  // ---- cost of a note-on in the UI thread ----
  if (!sessionSeconds) {
    Stats perCall;
    const uint32_t quietNote = 0x9F | 60 << 8;   // velocity 0 on channel 16: same path, no sound
    int failures = 0;
    for (int batch = 0; batch < 100; ++batch) {
      const auto a = Clock::now();
      for (int i = 0; i < 256; ++i) failures += sound->midiOutShortMsg(h, quietNote) != 0;
      perCall.add(double(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - a).count()) / 256.0);
      std::this_thread::sleep_for(std::chrono::milliseconds(12));
    }
    const double median = perCall.median();
    std::printf("midiOutShortMsg in the UI thread, per call (batches of 256): %s; refused: %d\n",
                perCall.str("ns").c_str(), failures);
    row("midiOutShortMsg on the UI thread", fmt("median %.0f ns", median));
  }

  // ---- note-on to first sound at the server's play position ----
  // The server's play position is read just before the note-on; the note's
  // first sound lies some frames past it in the server's stream: that
  // distance is the key-to-sound the engine and the server's queue give.
  if (!sessionSeconds && live) {
    auto* pulse = dynamic_cast<PulseOutput*>(sound->output());
    OnsetTap tap(engine);
    sound->tapHost().attachTap(&tap);
    sound->midiOutShortMsg(h, kProgram24);
    Stats atServer, toFinal;
    std::mt19937 rng(7);
    int missed = 0;
    for (int trial = 0; trial < 40; ++trial) {
      sound->midiOutShortMsg(h, kAllSoundOff);
      const auto until = Clock::now() + std::chrono::seconds(4);
      tap.quietBlocks = 0;
      while (tap.quietBlocks.load() < 20 && Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      std::this_thread::sleep_for(std::chrono::microseconds(rng() % 6000));   // any phase of the period
      uint64_t playing = 0;
      if (!pulse || !pulse->playPosition(&playing)) {
        ++missed;
        continue;
      }
      tap.armed.store(true, std::memory_order_release);
      const double sent = nowNs();
      sound->midiOutShortMsg(h, kNote69);
      const auto deadline = Clock::now() + std::chrono::seconds(1);
      while (tap.armed.load(std::memory_order_acquire) && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      if (tap.armed.exchange(false)) {
        ++missed;
        continue;
      }
      atServer.add((double(tap.frame.load()) - double(playing)) * 1000.0 / engine.sampleRate());
      toFinal.add((tap.firedNs.load() - sent) / 1e6);
    }
    sound->tapHost().detachTap(&tap);
    row("Note-on to its first sound at the server's play position (engine + queue, no sink)",
        fmt("median %.1f ms", atServer.median()),
        fmt("p95-ish max %.1f ms, %.0f of 40 not heard; queue %.1f ms", atServer.max(), missed,
            sound->output()->queueFrames() * 1000.0 / engine.sampleRate()));
    std::printf("note-on to its first sound at the server's play position: %s\n", atServer.str("ms").c_str());
    std::printf("note-on to that frame becoming final (past the rewrite point): %s\n", toFinal.str("ms").c_str());
    std::printf("frames rewritten so far: %llu\n", (unsigned long long)engine.framesRewritten());
    if (missed) std::printf("  %d trials heard nothing within 1 s (or no timing)\n", missed);
    std::printf("  + the sink's own latency until the speaker; reported stream latency %.2f ms; underruns so far: %llu\n",
                sound->output()->latencyMs(), (unsigned long long)sound->output()->underruns());
  }

  // ---- CPU: idle with the device open, and 10 strikes a second with the loop on ----
  if (!sessionSeconds) {
    sound->midiOutShortMsg(h, kAllSoundOff);
    std::this_thread::sleep_for(std::chrono::seconds(4));   // the room rings out
    const double c0 = proc::cpuSeconds();
    auto a = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(10));
    const double idle = (proc::cpuSeconds() - c0) / (ms(Clock::now() - a) / 1000.0) * 100.0;
    std::printf("CPU idle, device open, nothing sounding: %.2f %% of a core (synth rendered: %s)\n", idle,
                engine.synthRendering() ? "yes" : "no");
    row("CPU idle (device open, silent)", fmt("%.2f %% of a core", idle), "target under 1 %");

    const std::string loop = dataFile("3crap2.wav");
    sound->sndPlaySound(loop.c_str(), SND_ASYNC | SND_LOOP);
    sound->midiOutShortMsg(h, uint32_t(0xC0 | 116 << 8));
    const double c1 = proc::cpuSeconds();
    a = Clock::now();
    int maxSounding = 0;
    for (int i = 0; i < 100; ++i) {
      sound->midiOutShortMsg(h, uint32_t(0x90 | (72 + (i * 7) % 25) << 8 | 127 << 16));
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      maxSounding = std::max(maxSounding, engine.instancesSounding());
    }
    const double playing = (proc::cpuSeconds() - c1) / (ms(Clock::now() - a) / 1000.0) * 100.0;
    sound->sndPlaySound(nullptr, SND_NODEFAULT);
    std::printf("CPU at 10 strikes/s with the loop on: %.2f %% of a core (up to %d of %zu instances sounding)\n",
                playing, maxSounding, sound->poolInstances());
    row("CPU at 10 strikes/s, loop on", fmt("%.1f %% of a core", playing), "target under 15 %");
  }

  // ---- wave sounds: decoding once, then from memory ----
  if (!sessionSeconds) {
    const std::string loop = dataFile("3crap2.wav");
    auto a = Clock::now();
    const BOOL first = sound->sndPlaySound(loop.c_str(), SND_ASYNC | SND_LOOP);
    const double firstMs = ms(Clock::now() - a);
    sound->sndPlaySound(nullptr, SND_NODEFAULT);
    a = Clock::now();
    sound->sndPlaySound(loop.c_str(), SND_ASYNC | SND_LOOP);
    const double againMs = ms(Clock::now() - a);
    std::printf("sndPlaySoundA(3crap2.wav, loop): %s; first call %.2f ms (decode), again %.3f ms\n",
                first ? "plays" : "did not play", firstMs, againMs);
  }

  // ---- a busy stretch: loop on, strummed chords, tone changes ----
  {
    const uint64_t underrunsBefore = live ? sound->output()->underruns() : 0;
    const uint64_t blocksBefore = engine.blocksRendered();
    const long long faultsBefore = proc::majorFaults();
    const auto a = Clock::now();
    const int notes[] = {72, 76, 79, 84};
    uint64_t underrunsSeen = underrunsBefore;
    for (int step = 0; step < busySeconds * 10; ++step) {
      if (live && sound->output()->underruns() != underrunsSeen) {
        underrunsSeen = sound->output()->underruns();
        std::printf("  underrun in the 100 ms before step %d (%.1f s in; a tone change every 25 steps, at 24)\n",
                    step, ms(Clock::now() - a) / 1000.0);
      }
      for (int n : notes) sound->midiOutShortMsg(h, uint32_t(0x90 | (n + step % 5) << 8 | 127 << 16));
      if (step % 25 == 24) {
        sound->midiOutClose(h);
        sound->midiOutOpen(&h, MIDI_MAPPER);
        sound->midiOutShortMsg(h, uint32_t(0xC0 | (step % 50 ? 116 : 24) << 8));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    const double seconds = ms(Clock::now() - a) / 1000.0;
    sound->sndPlaySound(nullptr, SND_NODEFAULT);
    std::printf("busy %d s (loop + 4-note strums every 100 ms + tone changes): %.1f blocks/s",
                busySeconds, double(engine.blocksRendered() - blocksBefore) / seconds);
    if (live) std::printf(", underruns %llu", (unsigned long long)(sound->output()->underruns() - underrunsBefore));
    std::printf(", major page faults %lld\n", proc::majorFaults() - faultsBefore);
    if (live)
      row(fmt(sessionSeconds ? "Dropouts (underruns) over a %.0f s session of continuous playing"
                             : "Underruns over %.0f s of continuous playing",
              busySeconds),
          std::to_string(sound->output()->underruns() - underrunsBefore),
          "loop on, 4-note strums every 100 ms, tone changes; target 0");
  }
  if (live) std::printf("underruns over the whole run: %llu\n", (unsigned long long)sound->output()->underruns());
  std::printf("resident memory at the end: %ld kB\n", proc::statusKb("VmRSS:"));
  sound->midiOutClose(h);
  paced.reset();
  sound.reset();

  // ---- the same note-on through the program's own call and the real backend ----
  if (live && !sessionSeconds) {
    RealBackend backend;
    setBackend(&backend);
    HMIDIOUT hmo = 0;
    if (::midiOutOpen(&hmo, MIDI_MAPPER, 0, 0, 0) == MMSYSERR_NOERROR) {
      AudioEngine& e = backend.sound().engine();
      for (int i = 0; i < 60; ++i) {   // until the new stream is pulled
        const uint64_t a = e.framesRendered();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (e.framesRendered() - a > e.sampleRate() / 20) break;
      }
      Stats perCall;
      int failures = 0;
      for (int batch = 0; batch < 100; ++batch) {
        const auto a = Clock::now();
        for (int i = 0; i < 256; ++i) failures += ::midiOutShortMsg(hmo, 0x9F | 60 << 8) != 0;
        perCall.add(double(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - a).count()) / 256.0);
        std::this_thread::sleep_for(std::chrono::milliseconds(12));
      }
      std::printf("::midiOutShortMsg through RealBackend, per call: %s; refused: %d\n",
                  perCall.str("ns").c_str(), failures);
      ::midiOutClose(hmo);
    } else {
      std::printf("::midiOutOpen through RealBackend failed: %s\n", backend.sound().lastError().c_str());
    }
    setBackend(nullptr);
  }
  if (!sessionSeconds) roomFigures();
  std::printf("\n");
  for (const std::string& line : tableRows) std::printf("%s\n", line.c_str());
  return 0;
}

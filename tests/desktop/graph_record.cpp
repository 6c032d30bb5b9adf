// SPDX-License-Identifier: GPL-3.0-or-later
// Records a PipeWire sink's monitor with the graph's own clock.
//
// Each graph cycle's block goes to standard output as a 40-byte header
// (struct BlockHeader) followed by its frames, F32 stereo interleaved.  The
// header carries the monotonic time at which the driver began the cycle the
// block was taken in (pw_time.now), the graph clock at that moment
// (pw_time.ticks) and the length of the cycle before it, so a reader can
// tell the moment the sink played each sample to a few microseconds,
// whatever this process's own scheduling did.  Which cycle the sink played a
// monitored block in (the one it reached us in, or the one before) is
// measured, not assumed: --check plays clicks of its own at known frames and
// prints how far from them the monitor found each one.
//
//   graph_record [--target NODE] [--rate HZ] [--seconds S]   blocks to stdout
//   graph_record --check N [--target NODE] [--rate HZ]       N clicks, a report
//
// The capture stream is passive (node.passive): its link to the monitor
// never keeps the graph running by itself, so with nothing else playing the
// sink idles or suspends as on a desktop where nothing plays, and a client
// that starts playing again pays what it would pay there.  It asks for the
// graph's default quantum (node.latency 1024 frames), so it never makes the
// period shorter than the program under test asks for, and never longer
// than a desktop's ordinary clients keep it.  Once the capture's node is on
// the server it says "graph_record: connected" on stderr.  Clicks played
// every 97 frames into a sink idle for seconds are all found, from the
// first cycle on, at the moment they were played.
//
// Threads: main() and the writer on the main thread; process() on the
// stream's data thread, which only copies into a preallocated ring.
#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <spa/pod/builder.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr uint32_t kMagic = 0x31524750;   // "PGR1"

struct BlockHeader {
  uint32_t magic = kMagic;
  uint32_t frames = 0;
  int64_t cycleNs = 0;       // the driver's start of this cycle (CLOCK_MONOTONIC)
  uint64_t ticks = 0;        // graph clock at cycleNs, in frames of the driver's rate
  uint32_t rate = 0;         // the driver's rate
  uint32_t lastCycle = 0;    // ticks between the previous cycle's start and this one's
  int64_t delay = 0;         // pw_time.delay, in ticks
};
static_assert(sizeof(BlockHeader) == 40);

int64_t monotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

std::atomic<bool> g_stop{false};
void onSignal(int) { g_stop.store(true); }

// Single producer (data thread), single consumer (main thread).
class ByteRing {
public:
  explicit ByteRing(size_t bytes) : data_(bytes) {}
  bool push(const void* a, size_t na, const void* b, size_t nb) {
    const size_t w = write_.load(std::memory_order_relaxed), r = read_.load(std::memory_order_acquire);
    if (data_.size() - (w - r) < na + nb) return false;
    copyIn(w, a, na);
    copyIn(w + na, b, nb);
    write_.store(w + na + nb, std::memory_order_release);
    return true;
  }
  // Writes what is held to fd; false when the reader went away.
  bool drainTo(int fd) {
    const size_t r = read_.load(std::memory_order_relaxed), w = write_.load(std::memory_order_acquire);
    if (w == r) return true;
    const size_t at = r % data_.size();
    const size_t n = std::min(w - r, data_.size() - at);
    const ssize_t done = ::write(fd, data_.data() + at, n);
    if (done < 0) return errno == EINTR || errno == EAGAIN;
    read_.store(r + size_t(done), std::memory_order_release);
    return true;
  }
  bool empty() const { return write_.load() == read_.load(); }

private:
  void copyIn(size_t at, const void* p, size_t n) {
    const auto* s = static_cast<const uint8_t*>(p);
    for (size_t i = 0; i < n;) {
      const size_t k = (at + i) % data_.size();
      const size_t m = std::min(n - i, data_.size() - k);
      std::memcpy(data_.data() + k, s + i, m);
      i += m;
    }
  }
  std::vector<uint8_t> data_;
  std::atomic<size_t> write_{0}, read_{0};
};

struct Recorder {
  pw_thread_loop* loop = nullptr;
  pw_stream* capture = nullptr;
  pw_stream* clicks = nullptr;
  uint32_t rate = 48000;
  ByteRing ring{size_t(64) << 20};
  std::atomic<uint64_t> lost{0};
  uint64_t lastTicks = 0;
  uint32_t lastFrames = 0;
  bool haveLast = false;

  // --check: a click (one full-scale sample) every kClickEvery frames, at a
  // frame within its block that wanders, so blocks' starts are not favoured.
  static constexpr uint64_t kClickEvery = 9601;
  uint64_t clicksWanted = 0;
  uint64_t played = 0;                  // frames the click stream has written
  std::vector<double> clickAtMs;        // when each click was played: its cycle + its frame
  std::atomic<uint64_t> clicksMade{0};
};

void onCapture(void* self) {
  auto* r = static_cast<Recorder*>(self);
  pw_buffer* b = pw_stream_dequeue_buffer(r->capture);
  if (!b) return;
  spa_data& d = b->buffer->datas[0];
  pw_time t{};
  pw_stream_get_time_n(r->capture, &t, sizeof t);
  BlockHeader h;
  h.frames = d.data && d.chunk ? d.chunk->size / 8 : 0;
  h.cycleNs = t.now;
  h.ticks = t.ticks;
  h.rate = t.rate.denom;
  // The cycle before this one: the ticks since our last block when that
  // was the cycle before; after a pause of the graph or a skipped cycle,
  // the length of the last cycle we saw (the period does not change then);
  // for the first block, its own length.
  h.lastCycle = h.frames;   // the first block: as long as this one
  if (r->haveLast && t.ticks > r->lastTicks) {
    const uint64_t since = t.ticks - r->lastTicks;
    h.lastCycle = since <= uint64_t(r->lastFrames) * 3 / 2 ? uint32_t(since) : r->lastFrames;
  }
  h.delay = t.delay;
  r->lastTicks = t.ticks;
  r->lastFrames = h.frames;
  r->haveLast = true;
  const auto* samples = d.data ? static_cast<const uint8_t*>(d.data) + (d.chunk ? d.chunk->offset : 0) : nullptr;
  if (h.frames && !r->ring.push(&h, sizeof h, samples, size_t(h.frames) * 8)) r->lost.fetch_add(1);
  pw_stream_queue_buffer(r->capture, b);
}

void onClicks(void* self) {
  auto* r = static_cast<Recorder*>(self);
  pw_buffer* b = pw_stream_dequeue_buffer(r->clicks);
  if (!b) return;
  spa_data& d = b->buffer->datas[0];
  if (!d.data) {
    pw_stream_queue_buffer(r->clicks, b);
    return;
  }
  pw_time t{};
  pw_stream_get_time_n(r->clicks, &t, sizeof t);
  uint32_t frames = b->requested ? uint32_t(b->requested) : 256;
  frames = std::min<uint32_t>(frames, d.maxsize / 8);
  auto* out = static_cast<float*>(d.data);
  std::fill(out, out + size_t(frames) * 2, 0.0f);
  const double rate = t.rate.denom ? double(t.rate.denom) : r->rate;
  for (uint32_t i = 0; i < frames; ++i) {
    const uint64_t n = r->played + i;
    if (n > 0 && n % Recorder::kClickEvery == 0 && r->clicksMade.load() < r->clicksWanted &&
        r->clickAtMs.size() < r->clickAtMs.capacity()) {
      out[2 * i] = out[2 * i + 1] = 0.9f;
      // The sink plays this block from the cycle's start, after t.delay.
      r->clickAtMs.push_back((double(t.now) + (double(i) + double(t.delay)) * 1e9 / rate) / 1e6);
      r->clicksMade.fetch_add(1, std::memory_order_release);
    }
  }
  r->played += frames;
  d.chunk->offset = 0;
  d.chunk->stride = 8;
  d.chunk->size = frames * 8;
  pw_stream_queue_buffer(r->clicks, b);
}

// The capture's node is on the server; the session manager links it to
// the sink at once (its format is only set once the graph runs: a passive
// link to an idle sink is prepared when something plays).
void onCaptureState(void*, pw_stream_state old, pw_stream_state state, const char*) {
  if (state == PW_STREAM_STATE_PAUSED && old == PW_STREAM_STATE_CONNECTING)
    std::fprintf(stderr, "graph_record: connected\n");
}

pw_stream* makeStream(Recorder& r, bool capture, const std::string& target, void (*process)(void*),
                      uint32_t latency) {
  pw_properties* props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY,
                                           capture ? "Capture" : "Playback", nullptr);
  pw_properties_setf(props, PW_KEY_NODE_LATENCY, "%u/%u", latency, r.rate);
  if (capture) {
    pw_properties_set(props, PW_KEY_STREAM_CAPTURE_SINK, "true");
    pw_properties_set(props, PW_KEY_NODE_PASSIVE, "true");
  }
  if (!target.empty()) pw_properties_set(props, PW_KEY_TARGET_OBJECT, target.c_str());
  pw_properties_set(props, PW_KEY_NODE_NAME, capture ? "graph-record" : "graph-record-clicks");
  static pw_stream_events eventsCapture{}, eventsClicks{};
  pw_stream_events& ev = capture ? eventsCapture : eventsClicks;
  ev.version = PW_VERSION_STREAM_EVENTS;
  ev.process = process;
  if (capture) ev.state_changed = &onCaptureState;
  pw_stream* s = pw_stream_new_simple(pw_thread_loop_get_loop(r.loop), capture ? "graph-record" : "graph-clicks",
                                      props, &ev, &r);
  uint8_t buffer[1024];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
  spa_audio_info_raw info{};
  info.format = SPA_AUDIO_FORMAT_F32;
  info.channels = 2;
  info.rate = r.rate;
  info.position[0] = SPA_AUDIO_CHANNEL_FL;
  info.position[1] = SPA_AUDIO_CHANNEL_FR;
  const spa_pod* params[1] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
  pw_stream_connect(s, capture ? PW_DIRECTION_INPUT : PW_DIRECTION_OUTPUT, PW_ID_ANY,
                    pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                    PW_STREAM_FLAG_RT_PROCESS),
                    params, 1);
  return s;
}

// Reads back the blocks the ring holds (check mode) and finds the clicks.
struct ClickFinder {
  std::vector<double> foundMs;
  void block(const BlockHeader& h, const float* lr, bool previousCycle) {
    const double rate = h.rate ? h.rate : 48000.0;
    double startNs = double(h.cycleNs);
    if (previousCycle) startNs -= double(h.lastCycle) * 1e9 / rate;
    for (uint32_t i = 0; i < h.frames; ++i)
      if (lr[2 * i] > 0.5f) foundMs.push_back((startNs + double(i) * 1e9 / rate) / 1e6);
  }
};

int usage() {
  std::fprintf(stderr, "usage: graph_record [--target NODE] [--rate HZ] [--seconds S] [--check N]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string target;
  uint32_t rate = 48000;
  double seconds = 0;
  int check = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    const char* v = nullptr;
    if (a == "--target" && (v = next())) target = v;
    else if (a == "--rate" && (v = next())) rate = uint32_t(std::atoi(v));
    else if (a == "--seconds" && (v = next())) seconds = std::atof(v);
    else if (a == "--check" && (v = next())) check = std::atoi(v);
    else return usage();
  }
  if (rate < 8000 || rate > 192000 || check < 0) return usage();
  std::signal(SIGINT, onSignal);
  std::signal(SIGTERM, onSignal);
  std::signal(SIGPIPE, SIG_IGN);

  // The recorder is a node of the graph it measures: a slow data thread of
  // its own would make the graph skip cycles, the program's among them.  The
  // real-time client configuration gives it module-rt's priority.
  setenv("PIPEWIRE_CONFIG_NAME", "client-rt.conf", 0);
  pw_init(&argc, &argv);
  Recorder r;
  r.rate = rate;
  r.loop = pw_thread_loop_new("graph-record", nullptr);
  if (!r.loop || pw_thread_loop_start(r.loop) < 0) {
    std::fprintf(stderr, "graph_record: no PipeWire thread loop\n");
    return 1;
  }
  pw_thread_loop_lock(r.loop);
  r.capture = makeStream(r, true, target, &onCapture, 1024);
  if (check) {
    r.clicksWanted = uint64_t(check);
    r.clickAtMs.reserve(size_t(check));
    r.clicks = makeStream(r, false, target, &onClicks, 256);
  }
  pw_thread_loop_unlock(r.loop);
  if (!r.capture || (check && !r.clicks)) {
    std::fprintf(stderr, "graph_record: no PipeWire stream\n");
    return 1;
  }

  const int64_t started = monotonicNs();
  int status = 0;
  if (!check) {
    while (!g_stop.load()) {
      if (!r.ring.drainTo(STDOUT_FILENO)) break;
      if (seconds > 0 && double(monotonicNs() - started) / 1e9 >= seconds) break;
      if (r.ring.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  } else {
    // Every click must be made and have had time to come back.
    const int64_t deadline = started + int64_t(10e9) + int64_t(check) * int64_t(Recorder::kClickEvery) * 1000000000 / rate;
    while (!g_stop.load() && monotonicNs() < deadline &&
           r.clicksMade.load(std::memory_order_acquire) < r.clicksWanted)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  pw_thread_loop_lock(r.loop);
  if (r.clicks) pw_stream_destroy(r.clicks);
  pw_stream_destroy(r.capture);
  pw_thread_loop_unlock(r.loop);
  pw_thread_loop_stop(r.loop);

  if (check) {
    // The ring now holds every block; read the clicks back both ways.
    ClickFinder same, before;
    std::vector<uint8_t> bytes;
    char path[] = "/tmp/graph-record-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) return 1;
    unlink(path);
    while (!r.ring.empty())
      if (!r.ring.drainTo(fd)) break;
    const off_t size = lseek(fd, 0, SEEK_END);
    bytes.resize(size_t(size));
    if (pread(fd, bytes.data(), bytes.size(), 0) != ssize_t(bytes.size())) return 1;
    close(fd);
    for (size_t at = 0; at + sizeof(BlockHeader) <= bytes.size();) {
      BlockHeader h;
      std::memcpy(&h, bytes.data() + at, sizeof h);
      if (h.magic != kMagic) break;
      std::vector<float> lr(size_t(h.frames) * 2);
      std::memcpy(lr.data(), bytes.data() + at + sizeof h, lr.size() * sizeof(float));
      same.block(h, lr.data(), false);
      before.block(h, lr.data(), true);
      at += sizeof h + lr.size() * sizeof(float);
    }
    auto report = [&](const char* name, const std::vector<double>& found) {
      std::vector<double> d;
      for (double played : r.clickAtMs) {
        double best = 1e9;
        for (double f : found)
          if (std::fabs(f - played) < std::fabs(best)) best = f - played;
        if (std::fabs(best) < 500) d.push_back(best);
      }
      std::sort(d.begin(), d.end());
      if (d.empty()) {
        std::printf("%s: no click found\n", name);
        return;
      }
      const auto exact = std::count_if(d.begin(), d.end(), [](double x) { return std::fabs(x) < 0.05; });
      std::printf("%s: %zu of %zu clicks found, %zu within 0.05 ms, offset min %.3f median %.3f max %.3f ms\n",
                  name, d.size(), r.clickAtMs.size(), size_t(exact), d.front(), d[d.size() / 2], d.back());
    };
    report("taken as played in the cycle it arrived in", same.foundMs);
    report("taken as played in the cycle before", before.foundMs);
    if (r.clickAtMs.size() < size_t(check)) status = 1;
  }
  if (r.lost.load()) std::fprintf(stderr, "graph_record: %llu blocks lost\n", (unsigned long long)r.lost.load());
  pw_thread_loop_destroy(r.loop);
  pw_deinit();
  return status;
}

// SPDX-License-Identifier: GPL-3.0-or-later
// A MIDI reader for PipeWire's graph that says where each event came: a
// node with one "8 bit raw midi" input port (like pw-mididump) that prints
// every event as "R <cycle ns> <offset> <byte> ..." (decimal): the cycle's
// start on the graph's clock (clock.nsec, CLOCK_MONOTONIC) and the event's
// offset in frames into that cycle.  Linked to nothing by itself.  Twice a
// second, when they changed, "S <cycles> <buffers>": the cycles it ran in
// and the buffers it was handed, to tell a reader that never ran from one
// that was given nothing.
//
//   midi_read [--name NODE] [--start-late MS]      until SIGTERM or SIGINT
//
// --start-late: the first time the server starts the node, answer it MS
// milliseconds late, as a busy program would: the link to it is active
// before the reader runs in the graph's cycles.
//
// Threads: main() runs the loop; process on the data thread copies the
// events into a preallocated table the main loop prints from.
#include <pipewire/filter.h>
#include <pipewire/pipewire.h>
#include <spa/control/control.h>
#include <spa/pod/iter.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

namespace {

struct Event {
  int64_t ns;
  uint32_t offset, size;
  uint8_t bytes[4];
};

struct Reader {
  pw_main_loop* loop = nullptr;
  pw_filter* filter = nullptr;
  void* port = nullptr;
  std::vector<Event> events = std::vector<Event>(1 << 16);
  std::atomic<size_t> count{0};
  size_t printed = 0;
  std::atomic<uint64_t> cycles{0}, buffers{0};
  uint64_t saidCycles = 0;
  int ticks = 0;
  unsigned startLateMs = 0;
};

void onProcess(void* data, spa_io_position* position) {
  auto* r = static_cast<Reader*>(data);
  r->cycles.fetch_add(1, std::memory_order_relaxed);
  pw_buffer* b = pw_filter_dequeue_buffer(r->port);
  if (!b) return;
  r->buffers.fetch_add(1, std::memory_order_relaxed);
  spa_data& d = b->buffer->datas[0];
  spa_pod* pod = d.data ? static_cast<spa_pod*>(spa_pod_from_data(d.data, d.maxsize, d.chunk->offset, d.chunk->size))
                        : nullptr;
  if (pod && spa_pod_is_sequence(pod)) {
    spa_pod_control* c;
    SPA_POD_SEQUENCE_FOREACH(reinterpret_cast<spa_pod_sequence*>(pod), c) {
      if (c->type != SPA_CONTROL_Midi) continue;
      const size_t n = r->count.load(std::memory_order_relaxed);
      if (n >= r->events.size()) break;
      Event& e = r->events[n];
      e.ns = int64_t(position->clock.nsec);
      e.offset = c->offset;
      e.size = std::min<uint32_t>(SPA_POD_BODY_SIZE(&c->value), 4);
      std::memcpy(e.bytes, SPA_POD_BODY(&c->value), e.size);
      r->count.store(n + 1, std::memory_order_release);
    }
  }
  pw_filter_queue_buffer(r->port, b);
}

void onTimer(void* data, uint64_t) {
  auto* r = static_cast<Reader*>(data);
  for (const size_t n = r->count.load(std::memory_order_acquire); r->printed < n; ++r->printed) {
    const Event& e = r->events[r->printed];
    std::printf("R %lld %u", (long long)e.ns, e.offset);
    for (uint32_t i = 0; i < e.size; ++i) std::printf(" %u", e.bytes[i]);
    std::printf("\n");
  }
  const uint64_t cycles = r->cycles.load(std::memory_order_relaxed);
  if (++r->ticks % 25 == 0 && cycles != r->saidCycles) {
    r->saidCycles = cycles;
    std::printf("S %llu %llu\n", (unsigned long long)cycles,
                (unsigned long long)r->buffers.load(std::memory_order_relaxed));
  }
}

void onState(void* data, pw_filter_state, pw_filter_state state, const char*) {
  auto* r = static_cast<Reader*>(data);
  if (state != PW_FILTER_STATE_STREAMING || !r->startLateMs) return;
  const timespec late{time_t(r->startLateMs / 1000), long(r->startLateMs % 1000) * 1000000L};
  nanosleep(&late, nullptr);
  r->startLateMs = 0;
}

void onQuit(void* data, int) { pw_main_loop_quit(static_cast<Reader*>(data)->loop); }

}  // namespace

int main(int argc, char** argv) {
  const char* name = "plinkora-test-reader";
  unsigned startLate = 0;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--name") && i + 1 < argc) name = argv[++i];
    else if (!std::strcmp(argv[i], "--start-late") && i + 1 < argc) startLate = unsigned(std::atoi(argv[++i]));
    else {
      std::fprintf(stderr, "usage: midi_read [--name NODE] [--start-late MS]\n");
      return 2;
    }
  }
  setvbuf(stdout, nullptr, _IOLBF, 0);
  pw_init(&argc, &argv);
  Reader r;
  r.startLateMs = startLate;
  r.loop = pw_main_loop_new(nullptr);
  pw_loop* loop = pw_main_loop_get_loop(r.loop);
  pw_loop_add_signal(loop, SIGINT, onQuit, &r);
  pw_loop_add_signal(loop, SIGTERM, onQuit, &r);
  static const pw_filter_events events = [] {
    pw_filter_events e{};
    e.version = PW_VERSION_FILTER_EVENTS;
    e.process = onProcess;
    e.state_changed = onState;
    return e;
  }();
  r.filter = pw_filter_new_simple(loop, name,
                                  pw_properties_new(PW_KEY_MEDIA_TYPE, "Midi", PW_KEY_MEDIA_CATEGORY, "Filter",
                                                    PW_KEY_MEDIA_ROLE, "DSP", PW_KEY_NODE_NAME, name, nullptr),
                                  &events, &r);
  r.port = pw_filter_add_port(r.filter, PW_DIRECTION_INPUT, PW_FILTER_PORT_FLAG_MAP_BUFFERS, 0,
                              pw_properties_new(PW_KEY_FORMAT_DSP, "8 bit raw midi", PW_KEY_PORT_NAME, "input",
                                                nullptr),
                              nullptr, 0);
  if (!r.port || pw_filter_connect(r.filter, PW_FILTER_FLAG_RT_PROCESS, nullptr, 0) < 0) {
    std::fprintf(stderr, "midi_read: cannot connect\n");
    return 1;
  }
  spa_source* timer = pw_loop_add_timer(loop, onTimer, &r);
  timespec every{0, 20000000};
  pw_loop_update_timer(loop, timer, &every, &every, false);
  std::printf("ready %s:input\n", name);
  pw_main_loop_run(r.loop);
  onTimer(&r, 0);
  pw_filter_destroy(r.filter);
  pw_main_loop_destroy(r.loop);
  pw_deinit();
  return 0;
}

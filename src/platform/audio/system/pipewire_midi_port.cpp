// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/audio/system/pipewire_midi_port.h"

#include "platform/audio/audio_thread/midi_message.h"

#include <pipewire/filter.h>
#include <pipewire/pipewire.h>
#include <spa/control/control.h>
#include <spa/node/io.h>
#include <spa/pod/builder.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <ctime>

namespace platform {

namespace {

// The cycle's events into the port's buffer, while they fit.
struct SequenceWriter : MidiCycleWriter {
  spa_pod_builder* builder;
  uint32_t room;
  uint32_t duration;
  uint32_t written = 0, refused = 0;

  bool put(uint32_t offset, uint32_t packed) noexcept override {
    if (builder->state.offset + PipeWireMidiPort::kEventBytes > room) {
      ++refused;
      return false;
    }
    const MidiMessage m(packed);
    const uint8_t bytes[3] = {uint8_t(m.status()), uint8_t(m.data1()), uint8_t(m.data2())};
    // Program change and channel pressure have one data byte.
    const uint32_t size = (m.kind() == MidiMessage::Program || m.kind() == MidiMessage::ChannelPressure) ? 2 : 3;
    spa_pod_builder_control(builder, offset < duration ? offset : duration - 1, SPA_CONTROL_Midi);
    spa_pod_builder_bytes(builder, bytes, size);
    ++written;
    return true;
  }
};

// A port's buffer that is not there this cycle: the events wait.
struct NoBuffer : MidiCycleWriter {
  bool put(uint32_t, uint32_t) noexcept override { return false; }
};

uint64_t nowNs() noexcept {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}



}  // namespace

// The C callbacks, with PipeWire's exact signatures.
struct PipeWireMidiPortEvents {
  static void process(void* self, spa_io_position* position) {
    static_cast<PipeWireMidiPort*>(self)->process(position);
  }
  // The port's format is set when a reader is linked, and cleared when
  // the last one goes.
  static void param(void* self, void* port, uint32_t id, const spa_pod* param) {
    auto* me = static_cast<PipeWireMidiPort*>(self);
    if (port && port == me->port_ && id == SPA_PARAM_Format) me->formatChanged(param != nullptr);
  }
  // The graph's links: the node runs only while one leaves its port.
  static void global(void* self, uint32_t id, uint32_t, const char* type, uint32_t, const spa_dict* props) {
    if (!type || std::strcmp(type, PW_TYPE_INTERFACE_Link) != 0 || !props) return;
    const char* node = spa_dict_lookup(props, PW_KEY_LINK_OUTPUT_NODE);
    if (node) static_cast<PipeWireMidiPort*>(self)->linkAdded(id, uint32_t(std::strtoul(node, nullptr, 10)));
  }
  static void globalRemove(void* self, uint32_t id) { static_cast<PipeWireMidiPort*>(self)->linkRemoved(id); }
  static void linkInfo(void* data, const pw_link_info* info) {
    auto* link = static_cast<PipeWireMidiPort::Link*>(data);
    link->port->linkInfo(*link, info);
  }
  static void readerInfo(void* data, const pw_node_info* info) {
    auto* link = static_cast<PipeWireMidiPort::Link*>(data);
    link->port->readerInfo(*link, info);
  }
  static constexpr pw_node_events kReader{.version = PW_VERSION_NODE_EVENTS, .info = &readerInfo};
  static constexpr pw_link_events kLink{.version = PW_VERSION_LINK_EVENTS, .info = &linkInfo};
  static constexpr pw_registry_events kRegistry{
      .version = PW_VERSION_REGISTRY_EVENTS, .global = &global, .global_remove = &globalRemove};
  static constexpr pw_filter_events kFilter{
      .version = PW_VERSION_FILTER_EVENTS, .param_changed = &param, .process = &process};
};

PipeWireMidiPort::PipeWireMidiPort() : PipeWireMidiPort(Config{}) {}
PipeWireMidiPort::PipeWireMidiPort(Config config) : config_(std::move(config)) {}
PipeWireMidiPort::~PipeWireMidiPort() { stop(); }

// ---- data thread ----

void PipeWireMidiPort::countBusy(uint64_t ns, bool linked) noexcept {
  busyNs_.store(busyNs_.load(std::memory_order_relaxed) + ns, std::memory_order_relaxed);
  if (!linked) return;
  size_t bin = 0;
  while (bin + 1 < kBusyBins && (uint64_t(2) << bin) <= ns) ++bin;
  busyBins_[bin].store(busyBins_[bin].load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

void PipeWireMidiPort::process(spa_io_position* position) noexcept {
  // The time spent here, counted on the way out.
  struct BusyTime {
    PipeWireMidiPort& port;
    uint64_t from = nowNs();
    bool linked = false;
    ~BusyTime() { port.countBusy(nowNs() - from, linked); }
  } busy{*this};
  cycles_.store(cycles_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  if (!position || !source_ || !linked_.load(std::memory_order_acquire)) {
    gaveOnce_ = flowing_ = false;
    return;
  }
  busy.linked = true;
  const int64_t ns = int64_t(position->clock.nsec);
  const uint32_t duration = uint32_t(position->clock.duration);
  cyclesLinked_.store(cyclesLinked_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  // Until the server has activated the link and started the reader's node,
  // the reader is not in these cycles.
  const bool active = active_.load(std::memory_order_acquire);
  if (!active) gaveOnce_ = flowing_ = false;
  // Readers that came to run since the last cycle: while events flow, each
  // is owed the present programs; before, the first flowing cycle sends them.
  const uint32_t joins = joins_.load(std::memory_order_acquire);
  const bool joined = joins != joinsSeen_;
  joinsSeen_ = joins;
  pw_buffer* b = pw_filter_dequeue_buffer(port_);
  spa_data* d = b ? &b->buffer->datas[0] : nullptr;
  if (!d || !d->data || d->maxsize < kSequenceBytes) {
    NoBuffer none;
    source_->cycleEvents(ns, duration, none);
    if (b) pw_filter_queue_buffer(port_, b);
    count(cyclesNoBuffer_);
    return;
  }
  // One cycle more after that, for safety: from then on it hears the cycles'
  // events, the first of them opening with the present programs.
  if (!flowing_ && gaveOnce_) {
    flowing_ = true;
    source_->readerJoined();
  } else if (flowing_ && joined) {
    source_->readerJoined();   // one more reader came to run
  }
  if (!flowing_) {
    // An empty sequence; the cycle's events are not the port's (nobody
    // hears them).
    spa_pod_builder builder;
    spa_pod_builder_init(&builder, d->data, d->maxsize);
    spa_pod_frame frame;
    spa_pod_builder_push_sequence(&builder, &frame, 0);
    spa_pod_builder_pop(&builder, &frame);
    d->chunk->offset = 0;
    d->chunk->size = builder.state.offset;
    d->chunk->stride = 1;
    d->chunk->flags = 0;
    pw_filter_queue_buffer(port_, b);
    gaveOnce_ = active;
    count(cyclesWaiting_);
    return;
  }
  spa_pod_builder builder;
  spa_pod_builder_init(&builder, d->data, d->maxsize);
  spa_pod_frame frame;
  spa_pod_builder_push_sequence(&builder, &frame, 0);
  SequenceWriter out;
  out.builder = &builder;
  out.room = d->maxsize;
  out.duration = duration ? duration : 1;
  source_->cycleEvents(ns, duration, out);
  spa_pod_builder_pop(&builder, &frame);
  d->chunk->offset = 0;
  d->chunk->size = builder.state.offset;
  d->chunk->stride = 1;
  d->chunk->flags = 0;
  pw_filter_queue_buffer(port_, b);
  written_.fetch_add(out.written, std::memory_order_relaxed);
  if (out.refused) refused_.fetch_add(out.refused, std::memory_order_relaxed);
}

uint64_t PipeWireMidiPort::busyPercentileNs(double fraction) const {
  uint64_t total = 0;
  for (const auto& b : busyBins_) total += b.load(std::memory_order_relaxed);
  if (total == 0) return 0;
  uint64_t seen = 0;
  for (size_t i = 0; i < kBusyBins; ++i) {
    seen += busyBins_[i].load(std::memory_order_relaxed);
    if (double(seen) >= fraction * double(total)) return uint64_t(2) << i;   // the bin's upper edge
  }
  return uint64_t(2) << (kBusyBins - 1);
}

// ---- thread loop ----

void PipeWireMidiPort::formatChanged(bool set) {
  const bool was = linked_.exchange(set, std::memory_order_acq_rel);
  if (set != was && config_.onLinked) config_.onLinked(set);
}

// A link from the port's node: the node joins the stream's group, and so
// its driver and cycles.  Out of the group an unlinked node is run in no
// cycle, so an unlinked port costs the data thread no wake-up (in the
// group it would be run in every one).
void PipeWireMidiPort::linkAdded(uint32_t link, uint32_t outputNode) {
  if (!filter_ || !registry_ || outputNode != pw_filter_get_node_id(filter_) || outputNode == SPA_ID_INVALID) return;
  for (const auto& l : links_)
    if (l->id == link) return;
  auto l = std::make_unique<Link>();
  l->port = this;
  l->id = link;
  l->proxy = static_cast<pw_proxy*>(pw_registry_bind(registry_, link, PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, 0));
  if (l->proxy) pw_link_add_listener(reinterpret_cast<pw_link*>(l->proxy), &l->listener, &PipeWireMidiPortEvents::kLink, l.get());
  links_.push_back(std::move(l));
  if (links_.size() == 1) joinGroup(true);
}

void PipeWireMidiPort::linkRemoved(uint32_t link) {
  const auto at = std::find_if(links_.begin(), links_.end(), [link](const auto& l) { return l->id == link; });
  if (at == links_.end()) return;
  dropLink(**at);
  links_.erase(at);
  updateActive();
  if (links_.empty()) joinGroup(false);
}

void PipeWireMidiPort::dropLink(Link& link) {
  if (link.reader) {
    spa_hook_remove(&link.readerListener);
    pw_proxy_destroy(link.reader);
    link.reader = nullptr;
  }
  if (link.proxy) {
    spa_hook_remove(&link.listener);
    pw_proxy_destroy(link.proxy);
    link.proxy = nullptr;
  }
}

void PipeWireMidiPort::linkInfo(Link& l, const pw_link_info* info) {
  if (!info) return;
  const bool was = l.ready();
  if (info->change_mask & PW_LINK_CHANGE_MASK_STATE) l.active = info->state == PW_LINK_STATE_ACTIVE;
  // The node the link leads to, once: whether it runs.
  if (!l.reader && registry_ && info->input_node_id != SPA_ID_INVALID) {
    l.reader = static_cast<pw_proxy*>(
        pw_registry_bind(registry_, info->input_node_id, PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, 0));
    if (l.reader)
      pw_node_add_listener(reinterpret_cast<pw_node*>(l.reader), &l.readerListener,
                           &PipeWireMidiPortEvents::kReader, &l);
  }
  updateActive(&l, was);
}

void PipeWireMidiPort::readerInfo(Link& l, const pw_node_info* info) {
  if (!info || !(info->change_mask & PW_NODE_CHANGE_MASK_STATE)) return;
  const bool was = l.ready();
  l.readerRunning = info->state == PW_NODE_STATE_RUNNING;
  updateActive(&l, was);
}

void PipeWireMidiPort::updateActive(const Link* changed, bool wasReady) {
  if (changed && changed->ready() && !wasReady) joins_.fetch_add(1, std::memory_order_release);
  const bool any = std::any_of(links_.begin(), links_.end(), [](const auto& l) { return l->ready(); });
  active_.store(any, std::memory_order_release);
}

void PipeWireMidiPort::joinGroup(bool join) {
  if (!filter_ || config_.group.empty()) return;
  const spa_dict_item item = SPA_DICT_ITEM_INIT(PW_KEY_NODE_GROUP, join ? config_.group.c_str() : nullptr);
  const spa_dict dict = SPA_DICT_INIT(&item, 1);
  pw_filter_update_properties(filter_, nullptr, &dict);
  grouped_.store(join, std::memory_order_relaxed);
}

bool PipeWireMidiPort::start(pw_core* core, MidiCycleSource& source) {
  if (filter_) return true;
  source_ = &source;
  pw_properties* props = pw_properties_new(
      PW_KEY_MEDIA_TYPE, "Midi", PW_KEY_MEDIA_CATEGORY, "Playback", PW_KEY_MEDIA_CLASS, "Midi/Source",
      PW_KEY_MEDIA_ROLE, "Music", PW_KEY_NODE_NAME, config_.nodeName.c_str(), PW_KEY_NODE_DESCRIPTION,
      config_.description.c_str(), PW_KEY_APP_NAME, config_.appName.c_str(), PW_KEY_NODE_AUTOCONNECT, "false",
      nullptr);
  filter_ = pw_filter_new(core, config_.description.c_str(), props);
  if (!filter_) {
    error_ = "no PipeWire filter for the MIDI port";
    return false;
  }
  pw_filter_add_listener(filter_, &listener_, &PipeWireMidiPortEvents::kFilter, this);

  // One buffer of at least 4 KiB (170 events a cycle); the reader may ask more.
  uint8_t buffer[256];
  spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
  const spa_pod* params[1] = {static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
      SPA_POD_CHOICE_RANGE_Int(1, 1, 32), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1), SPA_PARAM_BUFFERS_size,
      SPA_POD_CHOICE_RANGE_Int(4096, 4096, INT32_MAX), SPA_PARAM_BUFFERS_stride, SPA_POD_Int(1)))};
  port_ = pw_filter_add_port(filter_, PW_DIRECTION_OUTPUT, PW_FILTER_PORT_FLAG_MAP_BUFFERS, 0,
                             pw_properties_new(PW_KEY_FORMAT_DSP, "8 bit raw midi", PW_KEY_PORT_NAME,
                                               config_.portName.c_str(), nullptr),
                             params, 1);
  if (!port_) {
    error_ = "no MIDI port on the PipeWire filter";
    stop();
    return false;
  }
  if (pw_filter_connect(filter_, PW_FILTER_FLAG_RT_PROCESS, nullptr, 0) <
      0) {
    error_ = "the MIDI port's node was not connected";
    stop();
    return false;
  }
  registry_ = pw_core_get_registry(core, PW_VERSION_REGISTRY, 0);
  if (!registry_) {
    error_ = "no PipeWire registry to see the MIDI port's links";
    stop();
    return false;
  }
  pw_registry_add_listener(registry_, &registryListener_, &PipeWireMidiPortEvents::kRegistry, this);
  return true;
}

void PipeWireMidiPort::stop() {
  for (auto& l : links_) dropLink(*l);
  links_.clear();
  active_.store(false, std::memory_order_release);
  if (registry_) {
    spa_hook_remove(&registryListener_);
    pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
    registry_ = nullptr;
  }
  if (!filter_) return;
  spa_hook_remove(&listener_);
  pw_filter_destroy(filter_);   // waits out the data thread
  filter_ = nullptr;
  port_ = nullptr;
  linked_.store(false, std::memory_order_release);
}

}  // namespace platform

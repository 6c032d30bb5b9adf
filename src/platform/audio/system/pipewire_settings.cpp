// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/audio/system/pipewire_settings.h"

#include <pipewire/extensions/metadata.h>
#include <pipewire/pipewire.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace platform {

uint32_t PipeWireClock::longestPeriodFor(uint32_t latency) const {
  if (forceQuantum) return forceQuantum;
  const uint32_t asked = latency ? latency : quantum;
  return std::min(std::max(asked, minQuantum), std::max(maxQuantum, minQuantum));
}

uint32_t parseLatencyFrames(const std::string& text, uint32_t rate) {
  const char* s = text.c_str();
  char* end = nullptr;
  const unsigned long num = std::strtoul(s, &end, 10);
  if (end == s || num == 0) return 0;
  if (*end == '\0') return uint32_t(num);
  if (*end != '/') return 0;
  const char* d = end + 1;
  const unsigned long den = std::strtoul(d, &end, 10);
  if (end == d || *end != '\0' || den == 0) return 0;
  return uint32_t((uint64_t(num) * rate + den / 2) / den);
}

namespace {

struct Reader {
  pw_main_loop* loop = nullptr;
  pw_core* core = nullptr;
  pw_registry* registry = nullptr;
  pw_metadata* settings = nullptr;
  spa_hook settingsListener{};
  int seq = 0;
  bool bound = false;   // the settings were bound after the first round trip
  PipeWireProbe probe;
};

void setFrom(const char* key, const char* value, const char* prefix, PipeWireClock& c) {
  if (!key || !value || std::strncmp(key, prefix, std::strlen(prefix)) != 0) return;
  const char* name = key + std::strlen(prefix);
  const uint32_t v = uint32_t(std::strtoul(value, nullptr, 10));
  if (std::strcmp(name, "rate") == 0 && v) c.rate = v;
  else if (std::strcmp(name, "quantum") == 0 && v) c.quantum = v;
  else if (std::strcmp(name, "min-quantum") == 0 && v) c.minQuantum = v;
  else if (std::strcmp(name, "max-quantum") == 0 && v) c.maxQuantum = v;
  else if (std::strcmp(name, "force-quantum") == 0) c.forceQuantum = v;
  else if (std::strcmp(name, "force-rate") == 0 && v) c.rate = v;
}

void onInfo(void* data, const pw_core_info* info) {
  auto* r = static_cast<Reader*>(data);
  if (!info) return;
  if (info->version) r->probe.version = info->version;
  if (!info->props) return;
  if (const char* rate = spa_dict_lookup(info->props, "default.clock.rate"))
    r->probe.rate = uint32_t(std::strtoul(rate, nullptr, 10));
  const spa_dict_item* item;
  spa_dict_for_each(item, info->props) setFrom(item->key, item->value, "default.clock.", r->probe.clock);
}

int onProperty(void* data, uint32_t subject, const char* key, const char*, const char* value) {
  auto* r = static_cast<Reader*>(data);
  if (subject == PW_ID_CORE) setFrom(key, value, "clock.", r->probe.clock);
  return 0;
}

void onGlobal(void* data, uint32_t id, uint32_t, const char* type, uint32_t, const spa_dict* props) {
  auto* r = static_cast<Reader*>(data);
  if (!type || !props) return;
  if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
    const char* mediaClass = spa_dict_lookup(props, PW_KEY_MEDIA_CLASS);
    if (mediaClass && std::strcmp(mediaClass, "Audio/Sink") == 0) r->probe.hasSink = true;
    return;
  }
  if (r->settings || std::strcmp(type, PW_TYPE_INTERFACE_Metadata) != 0) return;
  const char* name = spa_dict_lookup(props, PW_KEY_METADATA_NAME);
  if (!name || std::strcmp(name, "settings") != 0) return;
  r->settings = static_cast<pw_metadata*>(pw_registry_bind(r->registry, id, PW_TYPE_INTERFACE_Metadata,
                                                           PW_VERSION_METADATA, 0));
  if (!r->settings) return;
  static const pw_metadata_events events = [] {
    pw_metadata_events e{};
    e.version = PW_VERSION_METADATA_EVENTS;
    e.property = onProperty;
    return e;
  }();
  pw_metadata_add_listener(r->settings, &r->settingsListener, &events, r);
}

// The first round trip brings the registry (and binds the settings); the
// second, their properties.
void onDone(void* data, uint32_t id, int seq) {
  auto* r = static_cast<Reader*>(data);
  if (id != PW_ID_CORE || seq != r->seq) return;
  if (r->settings && !r->bound) {
    r->bound = true;
    r->seq = pw_core_sync(r->core, PW_ID_CORE, 0);
    return;
  }
  pw_main_loop_quit(r->loop);
}

void onError(void* data, uint32_t id, int, int, const char*) {
  auto* r = static_cast<Reader*>(data);
  if (id == PW_ID_CORE) pw_main_loop_quit(r->loop);
}

void onTimeout(void* data, uint64_t) { pw_main_loop_quit(static_cast<Reader*>(data)->loop); }

}  // namespace

PipeWireProbe probePipeWire(int timeoutMs) {
  static std::once_flag init;
  std::call_once(init, [] { pw_init(nullptr, nullptr); });
  Reader r;
  r.loop = pw_main_loop_new(nullptr);
  if (!r.loop) return r.probe;
  pw_loop* loop = pw_main_loop_get_loop(r.loop);
  pw_context* context = pw_context_new(loop, nullptr, 0);
  if (context) r.core = pw_context_connect(context, nullptr, 0);
  if (r.core) {
    r.probe.answered = r.probe.clock.answered = true;
    pw_core_events coreEvents{};
    coreEvents.version = PW_VERSION_CORE_EVENTS;
    coreEvents.info = onInfo;
    coreEvents.done = onDone;
    coreEvents.error = onError;
    pw_registry_events registryEvents{};
    registryEvents.version = PW_VERSION_REGISTRY_EVENTS;
    registryEvents.global = onGlobal;
    spa_hook coreListener{}, registryListener{};
    pw_core_add_listener(r.core, &coreListener, &coreEvents, &r);
    r.registry = pw_core_get_registry(r.core, PW_VERSION_REGISTRY, 0);
    pw_registry_add_listener(r.registry, &registryListener, &registryEvents, &r);
    r.seq = pw_core_sync(r.core, PW_ID_CORE, 0);
    spa_source* timer = pw_loop_add_timer(loop, onTimeout, &r);
    timespec after{timeoutMs / 1000, long(timeoutMs % 1000) * 1000000};
    pw_loop_update_timer(loop, timer, &after, nullptr, false);
    pw_main_loop_run(r.loop);
    pw_loop_destroy_source(loop, timer);
    if (r.settings) {
      spa_hook_remove(&r.settingsListener);
      pw_proxy_destroy(reinterpret_cast<pw_proxy*>(r.settings));
    }
    spa_hook_remove(&registryListener);
    pw_proxy_destroy(reinterpret_cast<pw_proxy*>(r.registry));
    spa_hook_remove(&coreListener);
    pw_core_disconnect(r.core);
  }
  if (context) pw_context_destroy(context);
  pw_main_loop_destroy(r.loop);
  return r.probe;
}

}  // namespace platform

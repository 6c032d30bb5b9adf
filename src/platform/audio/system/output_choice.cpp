// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/audio/system/output_choice.h"

#include "platform/audio/system/pipewire_output.h"
#include "platform/audio/system/pulse_output.h"

#include <pipewire/pipewire.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace platform {

OutputRequest outputRequest(const char* value) {
  if (!value || !*value) return OutputRequest::Automatic;
  if (std::strcmp(value, "pipewire") == 0) return OutputRequest::PipeWire;
  if (std::strcmp(value, "pulse") == 0) return OutputRequest::Pulse;
  return OutputRequest::Unknown;
}

namespace {

struct Probe {
  pw_main_loop* loop = nullptr;
  pw_core* core = nullptr;
  int syncSeq = 0;
  PipeWireProbe result;
};

void onInfo(void* data, const pw_core_info* info) {
  auto* p = static_cast<Probe*>(data);
  if (!info) return;
  if (info->version) p->result.version = info->version;
  if (const char* rate = info->props ? spa_dict_lookup(info->props, "default.clock.rate") : nullptr)
    p->result.rate = uint32_t(std::strtoul(rate, nullptr, 10));
}

void onDone(void* data, uint32_t id, int seq) {
  auto* p = static_cast<Probe*>(data);
  if (id == PW_ID_CORE && seq == p->syncSeq) pw_main_loop_quit(p->loop);
}

void onError(void* data, uint32_t id, int, int, const char*) {
  auto* p = static_cast<Probe*>(data);
  if (id == PW_ID_CORE) pw_main_loop_quit(p->loop);
}

void onGlobal(void* data, uint32_t, uint32_t, const char* type, uint32_t, const spa_dict* props) {
  auto* p = static_cast<Probe*>(data);
  if (!type || std::strcmp(type, PW_TYPE_INTERFACE_Node) != 0 || !props) return;
  const char* mediaClass = spa_dict_lookup(props, PW_KEY_MEDIA_CLASS);
  if (mediaClass && std::strcmp(mediaClass, "Audio/Sink") == 0) p->result.hasSink = true;
}

void onTimeout(void* data, uint64_t) { pw_main_loop_quit(static_cast<Probe*>(data)->loop); }

}  // namespace

PipeWireProbe probePipeWire(int timeoutMs) {
  static std::once_flag init;
  std::call_once(init, [] { pw_init(nullptr, nullptr); });
  Probe p;
  p.loop = pw_main_loop_new(nullptr);
  if (!p.loop) return p.result;
  pw_loop* loop = pw_main_loop_get_loop(p.loop);
  pw_context* context = pw_context_new(loop, nullptr, 0);
  if (context) p.core = pw_context_connect(context, nullptr, 0);
  if (p.core) {
    p.result.answered = true;
    pw_core_events coreEvents{};
    coreEvents.version = PW_VERSION_CORE_EVENTS;
    coreEvents.info = onInfo;
    coreEvents.done = onDone;
    coreEvents.error = onError;
    pw_registry_events registryEvents{};
    registryEvents.version = PW_VERSION_REGISTRY_EVENTS;
    registryEvents.global = onGlobal;
    spa_hook coreListener{}, registryListener{};
    pw_core_add_listener(p.core, &coreListener, &coreEvents, &p);
    pw_registry* registry = pw_core_get_registry(p.core, PW_VERSION_REGISTRY, 0);
    pw_registry_add_listener(registry, &registryListener, &registryEvents, &p);
    p.syncSeq = pw_core_sync(p.core, PW_ID_CORE, 0);
    spa_source* timer = pw_loop_add_timer(loop, onTimeout, &p);
    timespec after{timeoutMs / 1000, long(timeoutMs % 1000) * 1000000};
    pw_loop_update_timer(loop, timer, &after, nullptr, false);
    pw_main_loop_run(p.loop);
    pw_loop_destroy_source(loop, timer);
    spa_hook_remove(&registryListener);
    pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry));
    spa_hook_remove(&coreListener);
    pw_core_disconnect(p.core);
  }
  if (context) pw_context_destroy(context);
  pw_main_loop_destroy(p.loop);
  return p.result;
}

bool pipewireSocketMayExist() {
  const char* remote = std::getenv("PIPEWIRE_REMOTE");
  const char* name = remote && *remote ? remote : "pipewire-0";
  if (name[0] == '/') return access(name, F_OK) == 0;
  // Where libpipewire looks: PIPEWIRE_RUNTIME_DIR, else XDG_RUNTIME_DIR, else USERPROFILE.
  const char* dir = nullptr;
  for (const char* var : {"PIPEWIRE_RUNTIME_DIR", "XDG_RUNTIME_DIR", "USERPROFILE"}) {
    const char* v = std::getenv(var);
    if (v && *v) {
      dir = v;
      break;
    }
  }
  if (!dir) return remote && *remote;   // a remote of another kind: let PipeWire say
  struct stat st {};
  return ::stat((std::string(dir) + "/" + name).c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

OutputChoice chooseAudioOutput() {
  const char* value = std::getenv("PLINKORA_AUDIO_OUTPUT");
  OutputRequest request = outputRequest(value);
  if (request == OutputRequest::Unknown) {
    static std::once_flag warned;
    std::call_once(warned, [value] {
      std::fprintf(stderr, "plinkora: PLINKORA_AUDIO_OUTPUT=%s is neither pipewire nor pulse; choosing by itself\n",
                   value);
    });
    request = OutputRequest::Automatic;
  }
  OutputChoice choice;
  choice.forced = request != OutputRequest::Automatic;
  if (request == OutputRequest::Pulse) return choice;
  // No PipeWire socket where a client would look for it: nothing to ask.
  if (request == OutputRequest::Automatic && !pipewireSocketMayExist()) return choice;
  const PipeWireProbe probe = probePipeWire();
  choice.pipewire = request == OutputRequest::PipeWire || (probe.answered && probe.hasSink);
  if (choice.pipewire) choice.rate = probe.rate ? probe.rate : 48000;
  return choice;
}

uint32_t queueFramesOf(const OutputChoice& choice) {
  if (choice.pipewire)
    return std::max(PipeWireOutput::kLongest, PipeWireOutput::configFromEnvironment().forceQuantum);
  return PulseOutput::configFromEnvironment().queueFrames();
}

std::unique_ptr<AudioOutput> makeAudioOutput(const OutputChoice& choice) {
  if (choice.pipewire) return std::make_unique<PipeWireOutput>(PipeWireOutput::configFromEnvironment());
  return std::make_unique<PulseOutput>(PulseOutput::configFromEnvironment());
}

}  // namespace platform

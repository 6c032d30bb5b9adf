// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/audio/system/realtime_priority.h"

#include <dbus/dbus.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstdint>
#include <cstdio>
#include <cstring>

#ifndef SCHED_RESET_ON_FORK
#define SCHED_RESET_ON_FORK 0x40000000
#endif

namespace platform {
namespace {

constexpr const char* kService = "org.freedesktop.RealtimeKit1";
constexpr const char* kObject = "/org/freedesktop/RealtimeKit1";
constexpr const char* kDefaultSystemBus = "unix:path=/var/run/dbus/system_bus_socket";
// The nice level asked for when real-time is not to be had (PipeWire's own).
constexpr int kNiceLevel = -11;
// RealtimeKit's own default limit of CPU time without blocking, when it
// does not say.
constexpr long long kDefaultRtTimeUs = 200000;
// All talking to the bus together, in milliseconds.
constexpr int kBudgetMs = 1000;
// The slice asked for a fair-class audio thread (the kernel allows 0.1-100 ms).
constexpr unsigned long long kAudioSliceNs = 500000;

// The kernel's struct sched_attr (linux/sched/types.h), which glibc 2.36 does not declare.
struct SchedAttr {
  uint32_t size;
  uint32_t policy;
  uint64_t flags;
  int32_t nice;
  uint32_t priority;
  uint64_t runtime;
  uint64_t deadline;
  uint64_t period;
  uint32_t utilMin;
  uint32_t utilMax;
};

// The slice the scheduler reports for thread `tid` (se.slice, ns), or 0.
unsigned long long reportedSlice(pid_t tid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/task/%d/sched", int(tid));
  std::FILE* f = std::fopen(path, "r");
  if (!f) return 0;
  char line[256];
  unsigned long long slice = 0;
  while (std::fgets(line, sizeof line, f))
    if (std::strncmp(line, "se.slice", 8) == 0) {
      const char* colon = std::strchr(line, ':');
      if (colon) slice = std::strtoull(colon + 1, nullptr, 10);
      break;
    }
  std::fclose(f);
  return slice;
}

bool isFifo(pid_t tid, int* priority) {
  const int policy = sched_getscheduler(tid);
  sched_param p{};
  if (policy < 0 || sched_getparam(tid, &p) != 0) return false;
  *priority = p.sched_priority;
  return (policy & ~SCHED_RESET_ON_FORK) == SCHED_FIFO;
}

std::string errnoText(int e) { return std::strerror(e); }

// A private connection to the system bus, every call bounded by one deadline.
class SystemBus {
public:
  SystemBus() : deadline_(std::chrono::steady_clock::now() + std::chrono::milliseconds(kBudgetMs)) {}
  ~SystemBus() {
    if (conn_) {
      dbus_connection_close(conn_);
      dbus_connection_unref(conn_);
    }
  }
  SystemBus(const SystemBus&) = delete;
  SystemBus& operator=(const SystemBus&) = delete;

  bool open(std::string* why) {
    dbus_threads_init_default();
    const char* env = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    const char* address = env && *env ? env : kDefaultSystemBus;
    DBusError err;
    dbus_error_init(&err);
    conn_ = dbus_connection_open_private(address, &err);
    if (!conn_) return fail(&err, why);
    dbus_connection_set_exit_on_disconnect(conn_, FALSE);
    // Hello by hand: dbus_bus_register would wait up to libdbus's 25 s.
    DBusMessage* hello = dbus_message_new_method_call("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                      "org.freedesktop.DBus", "Hello");
    DBusMessage* reply = send(hello, why);
    if (!reply) return false;
    const char* name = nullptr;
    dbus_error_init(&err);
    if (!dbus_message_get_args(reply, &err, DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID)) {
      dbus_message_unref(reply);
      return fail(&err, why);
    }
    dbus_bus_set_unique_name(conn_, name);
    dbus_message_unref(reply);
    return true;
  }

  // An integer property of RealtimeKit (int32 or int64).
  bool property(const char* name, long long* value) {
    DBusMessage* m = dbus_message_new_method_call(kService, kObject, "org.freedesktop.DBus.Properties", "Get");
    if (!m) return false;
    const char* iface = kService;
    dbus_message_append_args(m, DBUS_TYPE_STRING, &iface, DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID);
    std::string ignored;
    DBusMessage* reply = send(m, &ignored);
    if (!reply) return false;
    bool ok = false;
    DBusMessageIter it, variant;
    if (dbus_message_iter_init(reply, &it) && dbus_message_iter_get_arg_type(&it) == DBUS_TYPE_VARIANT) {
      dbus_message_iter_recurse(&it, &variant);
      const int type = dbus_message_iter_get_arg_type(&variant);
      if (type == DBUS_TYPE_INT32) {
        dbus_int32_t v = 0;
        dbus_message_iter_get_basic(&variant, &v);
        *value = v;
        ok = true;
      } else if (type == DBUS_TYPE_INT64) {
        dbus_int64_t v = 0;
        dbus_message_iter_get_basic(&variant, &v);
        *value = v;
        ok = true;
      }
    }
    dbus_message_unref(reply);
    return ok;
  }

  bool makeThreadRealtime(pid_t tid, int priority, std::string* why) {
    DBusMessage* m = dbus_message_new_method_call(kService, kObject, kService, "MakeThreadRealtime");
    if (!m) return false;
    dbus_uint64_t t = dbus_uint64_t(tid);
    dbus_uint32_t p = dbus_uint32_t(priority);
    dbus_message_append_args(m, DBUS_TYPE_UINT64, &t, DBUS_TYPE_UINT32, &p, DBUS_TYPE_INVALID);
    return done(send(m, why));
  }

  bool makeThreadHighPriority(pid_t tid, int nice, std::string* why) {
    DBusMessage* m = dbus_message_new_method_call(kService, kObject, kService, "MakeThreadHighPriority");
    if (!m) return false;
    dbus_uint64_t t = dbus_uint64_t(tid);
    dbus_int32_t n = nice;
    dbus_message_append_args(m, DBUS_TYPE_UINT64, &t, DBUS_TYPE_INT32, &n, DBUS_TYPE_INVALID);
    return done(send(m, why));
  }

private:
  static bool fail(DBusError* err, std::string* why) {
    *why = dbus_error_is_set(err) && err->message ? err->message : "D-Bus error";
    dbus_error_free(err);
    return false;
  }
  static bool done(DBusMessage* reply) {
    if (!reply) return false;
    dbus_message_unref(reply);
    return true;
  }
  // Sends `m` (taking it) and waits for its reply within what is left of the
  // deadline; the reply, or null with `why` set.
  DBusMessage* send(DBusMessage* m, std::string* why) {
    if (!m) return nullptr;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      dbus_message_unref(m);
      *why = "no answer in time";
      return nullptr;
    }
    DBusError err;
    dbus_error_init(&err);
    DBusMessage* reply = dbus_connection_send_with_reply_and_block(conn_, m, int(left.count()), &err);
    dbus_message_unref(m);
    if (!reply) fail(&err, why);
    return reply;
  }

  DBusConnection* conn_ = nullptr;
  std::chrono::steady_clock::time_point deadline_;
};

// RealtimeKit grants real-time only to a process that limits the CPU time
// its real-time threads may take without blocking to at most its maximum.
bool limitRealtimeCpu(long long maxUs) {
  rlimit rl{};
  if (getrlimit(RLIMIT_RTTIME, &rl) != 0) return false;
  if (rl.rlim_max != RLIM_INFINITY && rl.rlim_max <= rlim_t(maxUs) && rl.rlim_cur <= rl.rlim_max) return true;
  const rlim_t limit = rl.rlim_max == RLIM_INFINITY ? rlim_t(maxUs) : std::min(rl.rlim_max, rlim_t(maxUs));
  rl.rlim_cur = rl.rlim_max = limit;
  return setrlimit(RLIMIT_RTTIME, &rl) == 0;
}

// Adds the short slice to a thread left in the fair class; still not real-time.
bool withShortSlice(pid_t tid, std::string* how) {
  std::string slice;
  shortenThreadSlice(tid, kAudioSliceNs, &slice);
  *how += "; " + slice;
  return false;
}

}  // namespace

bool shortenThreadSlice(pid_t tid, unsigned long long sliceNs, std::string* how) {
  std::string sink;
  std::string& out = how ? *how : sink;
  const int policy = sched_getscheduler(tid);
  if (policy < 0 || (policy & ~SCHED_RESET_ON_FORK) != SCHED_OTHER) {
    out = "no slice asked: the thread is not in the fair class";
    return false;
  }
  errno = 0;
  const int nice = getpriority(PRIO_PROCESS, id_t(tid));
  if (errno) {
    out = "no slice asked: " + errnoText(errno);
    return false;
  }
  SchedAttr attr{};
  attr.size = sizeof attr;
  attr.policy = SCHED_OTHER;
  attr.flags = (policy & SCHED_RESET_ON_FORK) ? 0x01 : 0;   // SCHED_FLAG_RESET_ON_FORK
  attr.nice = nice;
  attr.runtime = sliceNs;
  if (::syscall(SYS_sched_setattr, tid, &attr, 0u) != 0) {
    out = "slice refused (" + errnoText(errno) + ")";
    return false;
  }
  const unsigned long long now = reportedSlice(tid);
  if (now != sliceNs) {
    out = "slice " + std::to_string(sliceNs / 1000) + " us asked, the kernel keeps its own";
    return false;
  }
  out = "slice " + std::to_string(sliceNs / 1000) + " us";
  return true;
}

unsigned long long audioThreadSliceNs() { return kAudioSliceNs; }

bool raiseThreadToRealtime(pid_t tid, int priority, std::string* how) {
  std::string sink;
  std::string& out = how ? *how : sink;
  priority = std::clamp(priority, sched_get_priority_min(SCHED_FIFO), sched_get_priority_max(SCHED_FIFO));

  sched_param param{};
  param.sched_priority = priority;
  if (sched_setscheduler(tid, SCHED_FIFO | SCHED_RESET_ON_FORK, &param) == 0) {
    out = "SCHED_FIFO " + std::to_string(priority);
    return true;
  }
  const std::string refused = "SCHED_FIFO refused (" + errnoText(errno) + ")";

  std::string rtkit;
  int niceLevel = kNiceLevel;
  SystemBus bus;
  if (bus.open(&rtkit)) {
    long long value = 0;
    int granted = priority;
    if (bus.property("MaxRealtimePriority", &value)) granted = int(std::clamp<long long>(value, 1, priority));
    long long maxRtTimeUs = kDefaultRtTimeUs;
    if (bus.property("RTTimeUSecMax", &value) && value > 0) maxRtTimeUs = value;
    if (bus.property("MinNiceLevel", &value)) niceLevel = int(std::clamp<long long>(value, kNiceLevel, 0));
    if (!limitRealtimeCpu(maxRtTimeUs)) {
      rtkit = "RLIMIT_RTTIME cannot be set (" + errnoText(errno) + ")";
    } else if (bus.makeThreadRealtime(tid, granted, &rtkit)) {
      int now = 0;
      if (isFifo(tid, &now)) {
        out = "SCHED_FIFO " + std::to_string(now) + " (RealtimeKit)";
        return true;
      }
      rtkit = "granted, but the thread is not SCHED_FIFO";
    }
    std::string niceWhy;
    if (bus.makeThreadHighPriority(tid, niceLevel, &niceWhy)) {
      out = "nice " + std::to_string(niceLevel) + " (RealtimeKit); no SCHED_FIFO: " + refused + ", RealtimeKit: " + rtkit;
      return withShortSlice(tid, &out);
    }
  }
  if (rtkit.empty()) rtkit = "not reachable";
  if (setpriority(PRIO_PROCESS, id_t(tid), kNiceLevel) == 0) {
    out = "nice " + std::to_string(kNiceLevel) + " (setpriority); no SCHED_FIFO: " + refused + ", RealtimeKit: " + rtkit;
    return withShortSlice(tid, &out);
  }
  out = "unchanged: " + refused + ", RealtimeKit: " + rtkit + ", nice refused (" + errnoText(errno) + ")";
  return withShortSlice(tid, &out);
}

}  // namespace platform

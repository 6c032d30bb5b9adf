// SPDX-License-Identifier: GPL-3.0-or-later
// Real-time priority for the audio thread as an ordinary user gets it: the
// kernel refuses SCHED_FIFO, RealtimeKit is asked over the system bus.
//
// Run as root, the test starts a system bus of its own (a dbus-daemon on a
// private socket, reached through DBUS_SYSTEM_BUS_ADDRESS) and, per case, a
// small stand-in for RealtimeKit running as root that really changes the
// thread's scheduling, as the real service does.  The caller is a child
// process that has become the user "nobody" with no real-time or nice
// allowance of its own.  Not root, or no dbus-daemon: skipped.
#include "platform/audio/system/realtime_priority.h"

#include <gtest/gtest.h>

#include <dbus/dbus.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#ifndef SCHED_RESET_ON_FORK
#define SCHED_RESET_ON_FORK 0x40000000
#endif

namespace {

namespace fs = std::filesystem;
using platform::raiseThreadToRealtime;

constexpr const char* kService = "org.freedesktop.RealtimeKit1";
constexpr int kMaxRealtimePriority = 20;
constexpr int kMinNiceLevel = -15;
constexpr long long kRtTimeUSecMax = 200000;

// ---- the stand-in for RealtimeKit ----

enum class Grant { Realtime, RefuseRealtime, NeverAnswer };

void replyInt(DBusConnection* c, DBusMessage* call, int type, const void* value) {
  DBusMessage* r = dbus_message_new_method_return(call);
  DBusMessageIter it, v;
  dbus_message_iter_init_append(r, &it);
  dbus_message_iter_open_container(&it, DBUS_TYPE_VARIANT, type == DBUS_TYPE_INT32 ? "i" : "x", &v);
  dbus_message_iter_append_basic(&v, type, value);
  dbus_message_iter_close_container(&it, &v);
  dbus_connection_send(c, r, nullptr);
  dbus_message_unref(r);
}

void replyDone(DBusConnection* c, DBusMessage* call) {
  DBusMessage* r = dbus_message_new_method_return(call);
  dbus_connection_send(c, r, nullptr);
  dbus_message_unref(r);
}

void replyError(DBusConnection* c, DBusMessage* call, const char* text) {
  DBusMessage* r = dbus_message_new_error(call, "org.freedesktop.DBus.Error.AccessDenied", text);
  dbus_connection_send(c, r, nullptr);
  dbus_message_unref(r);
}

pid_t callerPid(DBusConnection* c, DBusMessage* call) {
  const char* sender = dbus_message_get_sender(call);
  DBusMessage* m = dbus_message_new_method_call("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                "org.freedesktop.DBus", "GetConnectionUnixProcessID");
  dbus_message_append_args(m, DBUS_TYPE_STRING, &sender, DBUS_TYPE_INVALID);
  DBusMessage* r = dbus_connection_send_with_reply_and_block(c, m, 2000, nullptr);
  dbus_message_unref(m);
  dbus_uint32_t pid = 0;
  if (r) {
    dbus_message_get_args(r, nullptr, DBUS_TYPE_UINT32, &pid, DBUS_TYPE_INVALID);
    dbus_message_unref(r);
  }
  return pid_t(pid);
}

// The hard RLIMIT_RTTIME of process `pid` in microseconds, -1 when unlimited
// or unknown (read from /proc, which needs no capability).
long long rtTimeHardLimit(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/limits");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("Max realtime timeout", 0) != 0) continue;
    std::istringstream f(line.substr(std::strlen("Max realtime timeout")));
    std::string soft, hard;
    f >> soft >> hard;
    return hard == "unlimited" || hard.empty() ? -1 : std::atoll(hard.c_str());
  }
  return -1;
}

// Serves RealtimeKit's methods and properties on `address` until killed,
// with RealtimeKit's own checks: the thread belongs to the caller, the
// caller limits RLIMIT_RTTIME, the priority is within the maximum.  Each
// call is written to `log` as one line.  Writes a byte to `ready` once it
// owns the name.
[[noreturn]] void serveRealtimeKit(const std::string& address, Grant grant, const std::string& log, int ready) {
  DBusConnection* c = dbus_connection_open_private(address.c_str(), nullptr);
  if (!c || !dbus_bus_register(c, nullptr) ||
      dbus_bus_request_name(c, kService, DBUS_NAME_FLAG_DO_NOT_QUEUE, nullptr) != DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER)
    _exit(3);
  if (write(ready, "r", 1) != 1) _exit(3);
  close(ready);
  while (dbus_connection_read_write(c, -1)) {
    while (DBusMessage* m = dbus_connection_pop_message(c)) {
      std::ofstream out(log, std::ios::app);
      if (dbus_message_is_method_call(m, "org.freedesktop.DBus.Properties", "Get")) {
        const char *iface = nullptr, *name = nullptr;
        dbus_message_get_args(m, nullptr, DBUS_TYPE_STRING, &iface, DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID);
        const std::string n = name ? name : "";
        const dbus_int32_t maxPrio = kMaxRealtimePriority, minNice = kMinNiceLevel;
        const dbus_int64_t rttime = kRtTimeUSecMax;
        if (n == "MaxRealtimePriority") replyInt(c, m, DBUS_TYPE_INT32, &maxPrio);
        else if (n == "MinNiceLevel") replyInt(c, m, DBUS_TYPE_INT32, &minNice);
        else if (n == "RTTimeUSecMax") replyInt(c, m, DBUS_TYPE_INT64, &rttime);
        else replyError(c, m, "no such property");
      } else if (dbus_message_is_method_call(m, kService, "MakeThreadRealtime") ||
                 dbus_message_is_method_call(m, kService, "MakeThreadHighPriority")) {
        const bool realtime = dbus_message_is_method_call(m, kService, "MakeThreadRealtime");
        dbus_uint64_t tid = 0;
        dbus_uint32_t prio = 0;
        dbus_int32_t nice = 0;
        if (realtime) dbus_message_get_args(m, nullptr, DBUS_TYPE_UINT64, &tid, DBUS_TYPE_UINT32, &prio, DBUS_TYPE_INVALID);
        else dbus_message_get_args(m, nullptr, DBUS_TYPE_UINT64, &tid, DBUS_TYPE_INT32, &nice, DBUS_TYPE_INVALID);
        const pid_t pid = callerPid(c, m);
        const long long rttime = rtTimeHardLimit(pid);
        out << (realtime ? "realtime " : "nice ") << pid << ' ' << tid << ' ' << (realtime ? int(prio) : int(nice))
            << ' ' << rttime << '\n';
        out.flush();
        const bool ownThread = fs::exists("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid));
        if (grant == Grant::NeverAnswer) {
          // Keeps the caller waiting.
        } else if (!ownThread) {
          replyError(c, m, "not a thread of the caller");
        } else if (realtime) {
          sched_param p{};
          p.sched_priority = int(prio);
          if (grant == Grant::RefuseRealtime) replyError(c, m, "refused");
          else if (rttime < 0 || rttime > kRtTimeUSecMax) replyError(c, m, "RLIMIT_RTTIME not set");
          else if (prio > unsigned(kMaxRealtimePriority)) replyError(c, m, "priority too high");
          else if (sched_setscheduler(pid_t(tid), SCHED_FIFO | SCHED_RESET_ON_FORK, &p) != 0) replyError(c, m, "failed");
          else replyDone(c, m);
        } else {
          if (nice < kMinNiceLevel || setpriority(PRIO_PROCESS, id_t(tid), nice) != 0) replyError(c, m, "refused");
          else replyDone(c, m);
        }
      }
      dbus_message_unref(m);
    }
  }
  _exit(0);
}

void stopChild(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
}

// ---- the caller, as an ordinary user ----

struct Outcome {
  bool ran = false;
  std::map<std::string, std::string> v;   // key=value pairs the child printed
  std::string how;
  std::string stderrText;
  long long num(const char* key) const {
    auto it = v.find(key);
    return it == v.end() ? -999 : std::atoll(it->second.c_str());
  }
};

std::string readAll(int fd) {
  std::string s;
  char buf[512];
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) s.append(buf, size_t(n));
  return s;
}

// The fair-class slice the kernel reports for a thread of this process, in
// ns (0 when it reports none).
unsigned long long threadSlice(pid_t tid) {
  std::ifstream f("/proc/self/task/" + std::to_string(tid) + "/sched");
  for (std::string line; std::getline(f, line);)
    if (line.rfind("se.slice", 0) == 0) return std::stoull(line.substr(line.find(':') + 1));
  return 0;
}

// Linux 6.12 and later honour a slice asked through sched_setattr.
bool kernelTakesSlices() {
  utsname u{};
  int major = 0, minor = 0;
  return uname(&u) == 0 && std::sscanf(u.release, "%d.%d", &major, &minor) == 2 &&
         (major > 6 || (major == 6 && minor >= 12));
}

// Forks a child that becomes "nobody", starts a worker thread and from its
// main thread asks for that worker to be made real-time at `priority`,
// with the system bus at `busAddress`.  The child reports what it got.
Outcome callAsOrdinaryUser(const std::string& busAddress, int priority) {
  int out[2], err[2];
  if (pipe(out) != 0 || pipe(err) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    dup2(err[1], 2);
    close(out[0]);
    close(err[0]);
    const passwd* nobody = getpwnam("nobody");
    const rlimit none{0, 0};
    if (!nobody || setrlimit(RLIMIT_RTPRIO, &none) != 0 || setrlimit(RLIMIT_NICE, &none) != 0 ||
        setgroups(0, nullptr) != 0 || setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0)
      _exit(4);
    setenv("DBUS_SYSTEM_BUS_ADDRESS", busAddress.c_str(), 1);
    // The kernel must refuse real-time to this user, or the case means nothing.
    sched_param p{};
    p.sched_priority = 1;
    if (sched_setscheduler(0, SCHED_FIFO, &p) == 0) _exit(5);

    std::promise<pid_t> tidPromise;
    std::promise<void> asked;
    std::string workerState;
    std::thread worker([&] {
      tidPromise.set_value(gettid());
      asked.get_future().wait();
      sched_param wp{};
      sched_getparam(0, &wp);
      workerState = "policy=" + std::to_string(sched_getscheduler(0)) + " prio=" + std::to_string(wp.sched_priority) +
                    " nice=" + std::to_string(getpriority(PRIO_PROCESS, 0)) +
                    " slice=" + std::to_string(threadSlice(gettid()));
    });
    const pid_t tid = tidPromise.get_future().get();
    std::string how;
    const auto t0 = std::chrono::steady_clock::now();
    const bool ok = raiseThreadToRealtime(tid, priority, &how);
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    asked.set_value();
    worker.join();
    rlimit rl{};
    getrlimit(RLIMIT_RTTIME, &rl);
    std::printf("ok=%d pid=%d tid=%d ms=%.0f %s main_policy=%d rttime=%lld\nhow=%s\n", ok ? 1 : 0, int(getpid()),
                int(tid), ms, workerState.c_str(), sched_getscheduler(0),
                rl.rlim_max == RLIM_INFINITY ? -1LL : (long long)rl.rlim_max, how.c_str());
    std::fflush(stdout);
    _exit(0);
  }
  close(out[1]);
  close(err[1]);
  Outcome o;
  const std::string text = readAll(out[0]);
  o.stderrText = readAll(err[0]);
  close(out[0]);
  close(err[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  o.ran = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  if (WIFEXITED(status) && WEXITSTATUS(status) == 5) o.stderrText += "(the kernel granted SCHED_FIFO to nobody)";
  std::istringstream lines(text);
  std::string first;
  std::getline(lines, first);
  std::getline(lines, o.how);
  if (o.how.rfind("how=", 0) == 0) o.how = o.how.substr(4);
  std::istringstream words(first);
  for (std::string w; words >> w;)
    if (auto eq = w.find('='); eq != std::string::npos) o.v[w.substr(0, eq)] = w.substr(eq + 1);
  return o;
}

// ---- the private system bus ----

class RealtimeKitTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    if (geteuid() != 0 || !getpwnam("nobody") || system("command -v dbus-daemon >/dev/null 2>&1") != 0) return;
    char tmpl[] = "/tmp/plinkora-rtbus-XXXXXX";
    if (!mkdtemp(tmpl)) return;
    dir_ = tmpl;
    chmod(dir_.c_str(), 0755);
    address_ = "unix:path=" + dir_ + "/system_bus_socket";
    std::ofstream(dir_ + "/bus.conf")
        << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig><type>system</type><listen>" << address_ << "</listen><auth>EXTERNAL</auth>\n"
           "<policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/>"
           "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/></policy></busconfig>\n";
    busPid_ = fork();
    if (busPid_ == 0) {
      const int null = open("/dev/null", O_WRONLY);
      dup2(null, 1);
      dup2(null, 2);
      execlp("dbus-daemon", "dbus-daemon", "--nofork", "--nopidfile", ("--config-file=" + dir_ + "/bus.conf").c_str(),
             static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 200 && !fs::exists(dir_ + "/system_bus_socket"); ++i) usleep(10000);
    if (!fs::exists(dir_ + "/system_bus_socket")) {
      stopChild(busPid_);
      busPid_ = -1;
    }
  }
  static void TearDownTestSuite() {
    stopChild(busPid_);
    busPid_ = -1;
    if (!dir_.empty()) fs::remove_all(dir_);
    dir_.clear();
  }
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root, to act as the system service and a second user";
    if (busPid_ <= 0) GTEST_SKIP() << "no dbus-daemon here";
    log_ = dir_ + "/calls-" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
  }
  void TearDown() override { stopChild(servicePid_); }

  void startService(Grant grant) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    servicePid_ = fork();
    if (servicePid_ == 0) {
      close(ready[0]);
      serveRealtimeKit(address_, grant, log_, ready[1]);
    }
    close(ready[1]);
    pollfd pfd{ready[0], POLLIN, 0};
    char c = 0;
    const bool up = poll(&pfd, 1, 5000) == 1 && read(ready[0], &c, 1) == 1;
    close(ready[0]);
    ASSERT_TRUE(up) << "the stand-in service did not start";
  }
  std::string calls() {
    std::ifstream in(log_);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }

  static inline std::string dir_, address_;
  static inline pid_t busPid_ = -1;
  std::string log_;
  pid_t servicePid_ = -1;
};

TEST_F(RealtimeKitTest, OrdinaryUserGetsRealtimeForTheThreadItNames) {
  startService(Grant::Realtime);
  const Outcome o = callAsOrdinaryUser(address_, 5);
  ASSERT_TRUE(o.ran) << o.stderrText;
  EXPECT_EQ(o.num("ok"), 1) << o.how;
  // The worker, not the caller, is now SCHED_FIFO 5, reset on fork.
  EXPECT_EQ(o.num("policy"), SCHED_FIFO | SCHED_RESET_ON_FORK) << o.how;
  EXPECT_EQ(o.num("prio"), 5);
  EXPECT_EQ(o.num("main_policy"), SCHED_OTHER);
  EXPECT_EQ(o.how, "SCHED_FIFO 5 (RealtimeKit)");
  // One request, for that thread of that process, with the CPU limit set first.
  const std::string expected = "realtime " + std::to_string(o.num("pid")) + " " + std::to_string(o.num("tid")) + " 5 " +
                               std::to_string(kRtTimeUSecMax) + "\n";
  EXPECT_EQ(calls(), expected);
  EXPECT_EQ(o.num("rttime"), kRtTimeUSecMax);
  EXPECT_EQ(o.stderrText, "");
}

TEST_F(RealtimeKitTest, PriorityAboveTheServicesMaximumIsCapped) {
  startService(Grant::Realtime);
  const Outcome o = callAsOrdinaryUser(address_, 60);
  ASSERT_TRUE(o.ran) << o.stderrText;
  EXPECT_EQ(o.num("ok"), 1) << o.how;
  EXPECT_EQ(o.num("prio"), kMaxRealtimePriority);
  EXPECT_NE(calls().find(" " + std::to_string(o.num("tid")) + " 20 "), std::string::npos) << calls();
}

TEST_F(RealtimeKitTest, RealtimeRefusedGivesTheNiceLevelInstead) {
  startService(Grant::RefuseRealtime);
  const Outcome o = callAsOrdinaryUser(address_, 5);
  ASSERT_TRUE(o.ran) << o.stderrText;
  EXPECT_EQ(o.num("ok"), 0);
  EXPECT_EQ(o.num("policy"), SCHED_OTHER);
  EXPECT_EQ(o.num("nice"), -11) << o.how;
  EXPECT_EQ(o.how.rfind("nice -11 (RealtimeKit); no SCHED_FIFO", 0), 0u) << o.how;
  // Left in the fair class, the thread also gets the short slice, nice kept.
  if (kernelTakesSlices()) {
    EXPECT_EQ(o.num("slice"), long(platform::audioThreadSliceNs())) << o.how;
    EXPECT_NE(o.how.find("; slice 500 us"), std::string::npos) << o.how;
  }
  EXPECT_NE(calls().find("nice " + std::to_string(o.num("pid")) + " " + std::to_string(o.num("tid")) + " -11"),
            std::string::npos)
      << calls();
  EXPECT_EQ(o.stderrText, "");
}

TEST_F(RealtimeKitTest, NoServiceOrNoBusLeavesTheThreadAsItWasQuietlyAndAtOnce) {
  // Nothing owns the name on this bus; the second address leads nowhere.
  for (const std::string& bus : {address_, "unix:path=" + dir_ + "/no-such-socket"}) {
    const Outcome o = callAsOrdinaryUser(bus, 5);
    ASSERT_TRUE(o.ran) << o.stderrText;
    EXPECT_EQ(o.num("ok"), 0) << bus;
    EXPECT_EQ(o.num("policy"), SCHED_OTHER) << bus;
    EXPECT_EQ(o.num("nice"), 0) << bus;
    EXPECT_LT(o.num("ms"), 300) << bus;
    EXPECT_EQ(o.how.rfind("unchanged: SCHED_FIFO refused", 0), 0u) << o.how;
    EXPECT_NE(o.how.find("RealtimeKit: "), std::string::npos) << o.how;
    if (kernelTakesSlices()) EXPECT_EQ(o.num("slice"), long(platform::audioThreadSliceNs())) << o.how;
    EXPECT_EQ(o.stderrText, "") << bus;
  }
}

TEST_F(RealtimeKitTest, AServiceThatNeverAnswersCostsAboutASecond) {
  startService(Grant::NeverAnswer);
  const Outcome o = callAsOrdinaryUser(address_, 5);
  ASSERT_TRUE(o.ran) << o.stderrText;
  EXPECT_EQ(o.num("ok"), 0);
  EXPECT_EQ(o.num("policy"), SCHED_OTHER);
  EXPECT_LT(o.num("ms"), 1500);
  EXPECT_NE(calls().find("realtime "), std::string::npos) << "the request never reached the service";
}

// Where the kernel allows it (root here), no service is asked at all.
TEST(RealtimePriority, DirectWhereTheKernelAllowsIt) {
  if (geteuid() != 0) GTEST_SKIP() << "needs a user the kernel grants SCHED_FIFO";
  setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/plinkora-test-bus", 1);
  std::string how;
  int policy = -1;
  sched_param p{};
  std::thread worker([&] {
    const bool ok = raiseThreadToRealtime(gettid(), 3, &how);
    policy = sched_getscheduler(0);
    sched_getparam(0, &p);
    if (!ok) policy = -2;
  });
  worker.join();
  unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
  if (policy == -2 && how.find("SCHED_FIFO refused") != std::string::npos)
    GTEST_SKIP() << "this machine refuses SCHED_FIFO even to root: " << how;
  EXPECT_EQ(how, "SCHED_FIFO 3");
  EXPECT_EQ(policy, SCHED_FIFO | SCHED_RESET_ON_FORK);
  EXPECT_EQ(p.sched_priority, 3);
}

// The short slice on its own: a fair-class thread keeps its nice level and,
// where the kernel has custom slices, runs with the one asked for; elsewhere
// the call says the kernel kept its own.  A real-time thread is left alone.
TEST(ShortSlice, InForceWhereTheKernelHasItWithTheNiceLevelKept) {
  std::string how;
  bool ok = false;
  int nice = 0, policy = -1;
  unsigned long long slice = 0;
  std::thread worker([&] {
    setpriority(PRIO_PROCESS, id_t(gettid()), 3);   // raising one's own nice needs no right
    ok = platform::shortenThreadSlice(gettid(), 700000, &how);
    errno = 0;
    nice = getpriority(PRIO_PROCESS, id_t(gettid()));
    policy = sched_getscheduler(0) & ~SCHED_RESET_ON_FORK;
    slice = threadSlice(gettid());
  });
  worker.join();
  EXPECT_EQ(nice, 3) << how;
  EXPECT_EQ(policy, SCHED_OTHER);
  if (kernelTakesSlices()) {
    EXPECT_TRUE(ok) << how;
    EXPECT_EQ(slice, 700000u);
    EXPECT_EQ(how, "slice 700 us");
  } else {
    EXPECT_FALSE(ok);
    EXPECT_NE(how.find("the kernel keeps its own"), std::string::npos) << how;
  }
}

TEST(ShortSlice, ARealtimeThreadIsLeftAsItIs) {
  std::string how;
  bool ok = true, wasFifo = false;
  int policy = -1;
  std::thread worker([&] {
    sched_param p{};
    p.sched_priority = 2;
    wasFifo = sched_setscheduler(0, SCHED_FIFO, &p) == 0;
    if (!wasFifo) return;
    ok = platform::shortenThreadSlice(gettid(), 500000, &how);
    policy = sched_getscheduler(0);
  });
  worker.join();
  if (!wasFifo) GTEST_SKIP() << "the kernel refuses SCHED_FIFO to this user";
  EXPECT_FALSE(ok);
  EXPECT_EQ(policy, SCHED_FIFO);
  EXPECT_EQ(how, "no slice asked: the thread is not in the fair class");
}

}  // namespace

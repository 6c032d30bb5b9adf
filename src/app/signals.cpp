// SPDX-License-Identifier: GPL-3.0-or-later
// A signal handler may do next to nothing: it sets the end request (which
// also cuts the start sound's wait short) and writes a byte into a pipe.  The
// pipe's notifier runs the ending on the UI thread from whichever event loop
// is running, the modal loops of message boxes and dialogs included.
#include "app/signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <csignal>

#include "platform/end_request.h"
#include "ui/form1.h"

namespace app {
namespace {

int signalPipe[2] = {-1, -1};
bool ended = false;

void OnSignal(int) {
  platform::RequestEnd();
  const char c = 1;
  [[maybe_unused]] auto n = write(signalPipe[1], &c, 1);
}

}  // namespace

void EndOnSignals(QApplication& app) {
  if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
  QObject::connect(notifier, &QSocketNotifier::activated, &app, [] {
    char buffer[16];
    while (read(signalPipe[0], buffer, sizeof buffer) > 0) {
    }
    EndNow();
  });
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaction(sig, &sa, nullptr);
}

bool EndRequested() { return platform::EndRequested(); }

void EndNow() {
  if (ended) return;
  ended = true;
  platform::RequestEnd();
  // The main window exists from the first note-name redraw of start-up on,
  // hidden until the splash has gone; closing it runs the release sequence
  // whether it is shown or not.
  if (form1Exists()) form1().close();
  // Leaves every running event loop, a modal box's or dialog's included, and
  // makes any later one return at once: a box that a handler still shows on
  // its way out is answered as if closed, and the handler returns.
  QCoreApplication::exit(0);
}

}  // namespace app

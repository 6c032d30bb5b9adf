// SPDX-License-Identifier: GPL-3.0-or-later
// How quickly a key reaches the MIDI output, and what the whole key handler
// costs, on the real main window (offscreen, no sound device).  Prints
// figures; judges nothing.
//
//   bench_keys [iterations]
#include <QApplication>
#include <QKeyEvent>
#include <QtTest>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "app/module1.h"
#include "doubles/test_backend.h"
#include "ui/form1.h"

using Clock = std::chrono::steady_clock;
using namespace Module1;

namespace {

// The recording backend, except that a short MIDI message only notes the
// moment it arrived.
class TimingBackend : public platform::TestBackend {
public:
  Clock::time_point lastShortMsg;
  int shortMsgs = 0;
  MMRESULT midiOutShortMsg(HMIDIOUT, uint32_t) override {
    lastShortMsg = Clock::now();
    ++shortMsgs;
    return 0;
  }
};

double Micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// Prints one timing line; returns the table row for the summary.
std::string Report(const char* what, std::vector<double> v, const char* tableName = nullptr) {
  std::sort(v.begin(), v.end());
  const auto at = [&v](double q) { return v[std::min(v.size() - 1, static_cast<size_t>(q * v.size()))]; };
  std::printf("%-52s median %8.2f us   p99 %8.2f us   max %8.2f us   (n=%zu)\n", what, at(0.5),
              at(0.99), v.back(), v.size());
  if (!tableName) return {};
  char row[256];
  std::snprintf(row, sizeof row, "| %s | median %.2f us | p99 %.2f us |", tableName, at(0.5), at(0.99));
  return row;
}

void Send(QEvent::Type type, int key, Qt::KeyboardModifiers mods, quint32 scan) {
  QKeyEvent e(type, key, mods, scan, 0, 0, QString());
  QCoreApplication::sendEvent(&form1(), &e);
}

int NoteBoxPaints() {
  int n = 0;
  for (int k = 0; k <= 10; ++k) n += form1().Picture2[k]->paintCount();
  return n;
}

void Settle() {
  for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const int iterations = argc > 1 ? std::max(100, std::atoi(argv[1])) : 20000;

  TimingBackend backend;
  backend.appPath = QCoreApplication::applicationDirPath().toStdString() + "/../share/plinkora/";
  backend.install();
  ResetState();
  if (!Main()) {
    std::fprintf(stderr, "start-up failed\n");
    return 1;
  }
  if (!QTest::qWaitForWindowExposed(&form1())) std::fprintf(stderr, "window not exposed\n");
  Settle();

  std::vector<double> toNoteOn, strikeDown, strikeUp, fretDown, fretUp;
  for (int i = 0; i < iterations; ++i) {
    const int msgs = backend.shortMsgs;
    const auto t0 = Clock::now();
    Send(QEvent::KeyPress, Qt::Key_5, Qt::KeypadModifier, 84);
    const auto t1 = Clock::now();
    if (backend.shortMsgs != msgs + 1) {
      std::fprintf(stderr, "no note-on from keypad 5\n");
      return 1;
    }
    toNoteOn.push_back(Micros(backend.lastShortMsg - t0));
    strikeDown.push_back(Micros(t1 - t0));
    Settle();   // the pressed border is painted between key events, as in play

    const auto t2 = Clock::now();
    Send(QEvent::KeyRelease, Qt::Key_5, Qt::KeypadModifier, 84);
    strikeUp.push_back(Micros(Clock::now() - t2));
    Settle();

    // A fret changes every note name: the redraw does real work.
    const auto t3 = Clock::now();
    Send(QEvent::KeyPress, Qt::Key_F5, {}, 71);
    fretDown.push_back(Micros(Clock::now() - t3));
    Settle();
    const auto t4 = Clock::now();
    Send(QEvent::KeyRelease, Qt::Key_F5, {}, 71);
    fretUp.push_back(Micros(Clock::now() - t4));
    Settle();
    backend.clear();
  }

  std::printf("key handler timings, %d iterations, offscreen window\n", iterations);
  const std::string rowNoteOn =
      Report("key event in -> midiOutShortMsg (keypad 5)", toNoteOn, "Key event to note-on call");
  const std::string rowHandler =
      Report("whole key-down, strike + note-name redraw", strikeDown, "Whole key handler (strike and redraw)");
  Report("whole key-up, strike released + redraw", strikeUp);
  const std::string rowFret =
      Report("whole key-down, fret F5 (every name changes)", fretDown, "Whole key handler, fret F5 (every name redrawn)");
  Report("whole key-up, fret F5 (every name changes back)", fretUp);

  // Redrawing boxes that already show the right names repaints nothing.
  Settle();
  int before = NoteBoxPaints();
  for (int i = 0; i < 1000; ++i) Show_NoteNames();
  Settle();
  std::printf("note-box paints after 1000 unchanged Show_NoteNames: %d\n", NoteBoxPaints() - before);
  before = NoteBoxPaints();
  Send(QEvent::KeyPress, Qt::Key_F5, {}, 71);
  Settle();
  std::printf("note-box paints after F5 changed every name:        %d\n", NoteBoxPaints() - before);
  Send(QEvent::KeyRelease, Qt::Key_F5, {}, 71);
  Settle();
  std::printf("\n%s\n%s\n%s\n", rowNoteOn.c_str(), rowHandler.c_str(), rowFret.c_str());
  return 0;
}

// SPDX-License-Identifier: GPL-3.0-or-later
// Opening the windows through Main: the first program change before the
// splash, the splash on the screen while the start sound plays, then the main
// window at the screen's top-left corner with every display drawn.  With
// PLINKORA_SCREENSHOT=<file.png> set, it also writes a picture of the opened
// window (the one the README shows).
#include <QtTest>

#include <QPointer>
#include <QScreen>
#include <QWindow>
#include <string>
#include <vector>

#include "app/module1.h"
#include "support/support.h"
#include "ui/form1.h"
#include "ui/splash.h"

using namespace Module1;
using testing_support::FreshProgram;

namespace {

size_t IndexOf(const std::vector<platform::Call>& calls, const std::string& fn, int64_t value = -1) {
  for (size_t i = 0; i < calls.size(); ++i)
    if (calls[i].fn == fn && (value < 0 || calls[i].value == value)) return i;
  return calls.size();
}

// Whether every display shows the frame it opens with: the Standard names
// (A C E G C E A D F# C A), Standard lit, D 7th / C Maj. / G# m, OPL.3 lit.
QString FirstFramesMissing(Form1& f) {
  const int names[11] = {9, 0, 4, 7, 0, 4, 9, 2, 6, 0, 9};
  for (int k = 0; k < 11; ++k)
    if (f.Picture2[k]->picture().isNull() ||
        f.Picture2[k]->picture().cacheKey() != f.PIC_IndSrc[names[k]]->picture().cacheKey())
      return QStringLiteral("note box %1").arg(k);
  const int roots[3] = {2, 0, 8}, qualities[3] = {2, 0, 1};
  for (int i = 0; i < 3; ++i) {
    if (f.Pic_CnameH[i]->picture().cacheKey() != f.Pic_CNameHS[roots[i]]->picture().cacheKey())
      return QStringLiteral("chord root %1").arg(i);
    if (f.Pic_CName[i]->picture().cacheKey() != f.Pic_CNameLS[qualities[i]]->picture().cacheKey())
      return QStringLiteral("chord quality %1").arg(i);
  }
  if (f.Pic_Preset[0]->picture().cacheKey() != f.Pic_PreOn[0]->picture().cacheKey()) return "Standard button";
  if (f.Pic_Preset[1]->picture().cacheKey() != f.Pic_PreOff[1]->picture().cacheKey()) return "POP button";
  if (f.Pic_TnInd->picture().cacheKey() != f.Pic_ToneName[5]->picture().cacheKey()) return "tone indicator";
  if (f.Pic_CName[0]->width() != 40) return "chord quality width";
  if (f.PIC_IndSrc[0]->picture().isNull()) return "note frames not loaded";
  return {};
}

// Notes what the main window looks like at the moment it is shown.
class ShowWatcher : public QObject {
public:
  bool shown = false;
  bool splashGone = false;
  QString missing = "not shown";
  QPoint pos;
  QSize size;

protected:
  bool eventFilter(QObject* o, QEvent* e) override {
    if (e->type() == QEvent::Show && o == &form1() && !shown) {
      shown = true;
      splashGone = frmSplash() == nullptr;
      missing = FirstFramesMissing(form1());
      pos = form1().pos();
      size = form1().size();
    }
    return false;
  }
};

}  // namespace

class OpeningTest : public QObject {
  Q_OBJECT

private slots:
  void splashWhileTheStartSoundPlaysThenTheMainWindow();
  void screenshot();
};

void OpeningTest::splashWhileTheStartSoundPlaysThenTheMainWindow() {
  FreshProgram p;
  auto& log = p.backend;

  ShowWatcher watcher;
  bool splashAtProgramChange = true;
  bool windowHiddenAtProgramChange = false;
  int soundCalls = 0;
  bool splashUp = false, splashExposed = false, mainHidden = false;
  QRect splashRect, screenRect;
  Qt::WindowFlags splashFlags;
  QSize splashPicture;
  QPointer<FrmSplash> splash;

  log.onCall = [&](const platform::Call& c) {
    if (c.fn == "midiOutShortMsg" && c.value == ProgramChange(116)) {
      splashAtProgramChange = frmSplash() != nullptr;
      // The window exists already, hidden, since the first note-name redraw.
      windowHiddenAtProgramChange = form1Exists() && !form1().isVisible();
      form1().installEventFilter(&watcher);
    }
    if (c.fn == "sndPlaySoundA" && c.text == AppDir + "start.wav") {
      ++soundCalls;
      splash = frmSplash();
      splashUp = splash && splash->isVisible();
      splashExposed = splash && splash->windowHandle() && splash->windowHandle()->isExposed();
      if (splash) {
        splashRect = splash->geometry();
        splashFlags = splash->windowFlags();
        splashPicture = splash->picture().size();
        screenRect = splash->screen()->geometry();
      }
      mainHidden = !form1().isVisible();
    }
  };

  QVERIFY(Main());
  log.onCall = nullptr;

  // The first program change goes out before the splash exists.
  QVERIFY(!splashAtProgramChange);
  QVERIFY(windowHiddenAtProgramChange);
  const auto& calls = log.calls;
  const size_t program = IndexOf(calls, "midiOutShortMsg");
  QCOMPARE(calls[program].value, int64_t(ProgramChange(116)));
  QVERIFY(IndexOf(calls, "midiOutOpen") < program);
  QVERIFY(program < IndexOf(calls, "DoEvents"));
  QVERIFY(IndexOf(calls, "DoEvents") < IndexOf(calls, "sndPlaySoundA"));

  // The start sound is played once, synchronously, with the splash up.
  QCOMPARE(soundCalls, 1);
  QCOMPARE(log.callsTo("sndPlaySoundA").front().flags, int64_t(SND_SYNC));
  QVERIFY(splashUp);
  QVERIFY(splashExposed);
  QVERIFY(mainHidden);
  QCOMPARE(splashRect.size(), QSize(344, 147));
  QCOMPARE(splashPicture, QSize(344, 147));
  QVERIFY(qAbs(splashRect.center().x() - screenRect.center().x()) <= 1);
  QVERIFY(qAbs(splashRect.center().y() - screenRect.center().y()) <= 1);
  QVERIFY(splashFlags & Qt::FramelessWindowHint);
  QCOMPARE(splashFlags & Qt::WindowType_Mask, Qt::SplashScreen);

  // The splash is gone for good before the main window shows, and the main
  // window shows at the top-left corner with every display drawn.
  QVERIFY(splash.isNull());
  QVERIFY(frmSplash() == nullptr);
  QVERIFY(watcher.shown);
  QVERIFY(watcher.splashGone);
  QVERIFY2(watcher.missing.isEmpty(), qPrintable(watcher.missing));
  QCOMPARE(watcher.pos, QPoint(0, 0));
  QCOMPARE(watcher.size, QSize(345, 288));
  QVERIFY(form1().isVisible());
  QCOMPARE(form1().frameGeometry().topLeft(), QPoint(0, 0));
}

void OpeningTest::screenshot() {
  const QString path = qEnvironmentVariable("PLINKORA_SCREENSHOT");
  if (path.isEmpty()) QSKIP("PLINKORA_SCREENSHOT not set");
  FreshProgram p;
  QVERIFY(Main());
  QVERIFY(QTest::qWaitForWindowExposed(&form1()));
  const QPixmap shot = form1().grab();
  QCOMPARE(shot.size(), QSize(345, 288));
  QVERIFY(shot.save(path, "PNG"));
}

int main(int argc, char** argv) {
  // The application lives on main's stack so that it goes before the test
  // library's own objects at exit.
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  OpeningTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "ui_opening_qtest.moc"

// SPDX-License-Identifier: GPL-3.0-or-later
// What the displays of the opened window show: the note names under the
// frets, the lit preset button and the chord labels, the tone indicator and
// its one-second lit look, and the tone indicator as a mouse control.
#include <QtTest>

#include <algorithm>
#include <string>
#include <vector>

#include "app/module1.h"
#include "support/support.h"
#include "ui/form1.h"

using namespace Module1;
using testing_support::FreshProgram;

namespace {

const QStringList kNames = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};
const QStringList kQualities = {"Maj.", "m", "7th", "m7"};

// The member of a frame set whose picture a display shows, or -1.
template <size_t N>
int FrameOf(const PictureBox* display, const std::array<PictureBox*, N>& set) {
  if (display->picture().isNull()) return -1;
  for (size_t k = 0; k < N; ++k)
    if (set[k] && set[k]->picture().cacheKey() == display->picture().cacheKey()) return static_cast<int>(k);
  return -1;
}

QString NameOf(int frame, const QStringList& names) {
  return frame >= 0 && frame < names.size() ? names[frame] : QStringLiteral("(none)");
}

// The names that note boxes 0..10 show now.
QStringList NoteBoxNames() {
  QStringList out;
  for (int k = 0; k <= 10; ++k) out << NameOf(FrameOf(form1().Picture2[k], form1().PIC_IndSrc), kNames);
  return out;
}

// The chord labels from top to bottom, e.g. "D 7th".
QStringList ChordLabels() {
  QStringList out;
  for (int i = 0; i < 3; ++i)
    out << NameOf(FrameOf(form1().Pic_CnameH[i], form1().Pic_CNameHS), kNames) + " " +
               NameOf(FrameOf(form1().Pic_CName[i], form1().Pic_CNameLS), kQualities);
  return out;
}

// Which frame of Pic_ToneName the tone indicator shows.
int ToneFrame() { return FrameOf(form1().Pic_TnInd, form1().Pic_ToneName); }

void HoldOnly(int fret) {
  FretKey.fill(0);
  if (fret > 0) FretKey[fret] = 1;
  Set_HeldFret();
}

// Every frame the displays take from must have been loaded, or comparing
// pictures would compare nothing.
template <size_t N>
bool AllLoaded(const std::array<PictureBox*, N>& set, int from = 0) {
  for (size_t k = from; k < N; ++k)
    if (!set[k] || set[k]->picture().isNull()) return false;
  return true;
}

}  // namespace

class DisplaysTest : public QObject {
  Q_OBJECT

private slots:
  void init();
  void cleanup();

  void framesAreLoaded();
  void noteNames_data();
  void noteNames();
  void releasingTheFretRestoresTheOpenNames();
  void noteOutsideTheRangeKeepsItsPicture();
  void presetButtonsAndChordLabels_data();
  void presetButtonsAndChordLabels();
  void popClickedWithFretFiveHeld();
  void unchangedRedrawRepaintsNothing();
  void toneIndicatorLitForOneSecondAfterTheLastChange();
  void toneOutsideTheRingLeavesTheIndicatorAlone();
  void toneIndicatorStepsWithTheMouse_data();
  void toneIndicatorStepsWithTheMouse();

private:
  FreshProgram* program_ = nullptr;
};

void DisplaysTest::init() {
  program_ = new FreshProgram;
  QVERIFY(Main());
  QVERIFY(QTest::qWaitForWindowExposed(&form1()));
  program_->backend.clear();
}

void DisplaysTest::cleanup() {
  delete program_;
  program_ = nullptr;
}

void DisplaysTest::framesAreLoaded() {
  Form1& f = form1();
  QVERIFY(AllLoaded(f.PIC_IndSrc));
  QVERIFY(AllLoaded(f.Pic_CNameHS));
  QVERIFY(AllLoaded(f.Pic_CNameLS));
  QVERIFY(AllLoaded(f.Pic_PreOn));
  QVERIFY(AllLoaded(f.Pic_PreOff));
  QVERIFY(AllLoaded(f.Pic_ToneName));
  QVERIFY(AllLoaded(f.Pic_RecInd));
  QVERIFY(AllLoaded(f.Pic_KeyInd, 1));
  for (auto* frame : f.PIC_IndSrc) QCOMPARE(frame->picture().size(), QSize(33, 33));
}

void DisplaysTest::noteNames_data() {
  QTest::addColumn<int>("preset");
  QTest::addColumn<int>("fret");
  QTest::addColumn<QStringList>("names");
  const QStringList standard = {"A", "C", "E", "G", "C", "E", "A", "D", "F#", "C", "A"};
  const QStringList pop = {"G", "C#", "E", "G", "D", "G", "A", "D", "F#", "B", "A"};
  QTest::newRow("Standard, no fret") << 0 << 0 << standard;
  QTest::newRow("POP, no fret") << 1 << 0 << pop;
  QTest::newRow("Standard, fret 2")
      << 0 << 2 << QStringList{"B", "D", "F#", "A", "D", "F#", "B", "E", "G#", "D", "B"};
  QTest::newRow("POP, fret 5")
      << 1 << 5 << QStringList{"C", "F#", "A", "C", "G", "C", "D", "G", "B", "E", "D"};
  QTest::newRow("Standard, fret 12 names as open") << 0 << 12 << standard;
  QTest::newRow("POP, fret 12 names as open") << 1 << 12 << pop;
}

void DisplaysTest::noteNames() {
  QFETCH(int, preset);
  QFETCH(int, fret);
  QFETCH(QStringList, names);
  PresetNo = static_cast<Integer>(preset);
  Set_StrNote();
  HoldOnly(fret);
  Show_NoteNames();
  QCOMPARE(NoteBoxNames(), names);
}

void DisplaysTest::releasingTheFretRestoresTheOpenNames() {
  HoldOnly(3);
  Show_NoteNames();
  QCOMPARE(NoteBoxNames().first(), QStringLiteral("C"));   // A + 3
  HoldOnly(0);
  Show_NoteNames();
  QCOMPARE(NoteBoxNames(), (QStringList{"A", "C", "E", "G", "C", "E", "A", "D", "F#", "C", "A"}));
}

void DisplaysTest::noteOutsideTheRangeKeepsItsPicture() {
  // Box 0 (cell 0,0) shows A; a note below middle C or above 85 is not shown.
  const qint64 before = form1().Picture2[0]->picture().cacheKey();
  StrNote[0][0] = 59;
  Show_NoteNames();
  QCOMPARE(form1().Picture2[0]->picture().cacheKey(), before);
  StrNote[0][0] = 86;
  Show_NoteNames();
  QCOMPARE(form1().Picture2[0]->picture().cacheKey(), before);
  // The ends of the range are shown: 85 is C#, 60 is C.
  StrNote[0][0] = 85;
  Show_NoteNames();
  QCOMPARE(NoteBoxNames().first(), QStringLiteral("C#"));
  StrNote[0][0] = 60;
  Show_NoteNames();
  QCOMPARE(NoteBoxNames().first(), QStringLiteral("C"));
}

void DisplaysTest::presetButtonsAndChordLabels_data() {
  QTest::addColumn<int>("preset");
  QTest::addColumn<QStringList>("labels");
  QTest::newRow("Standard") << 0 << QStringList{"D 7th", "C Maj.", "G# m"};
  QTest::newRow("POP") << 1 << QStringList{"A# m7", "G Maj.", "E m7"};
}

void DisplaysTest::presetButtonsAndChordLabels() {
  QFETCH(int, preset);
  QFETCH(QStringList, labels);
  Form1& f = form1();
  // Select the other preset first, so that the click really changes things.
  QTest::mouseClick(f.Pic_Preset[1 - preset], Qt::LeftButton);
  QTest::mouseClick(f.Pic_Preset[preset], Qt::LeftButton);
  QCOMPARE(PresetNo, static_cast<Integer>(preset));
  QCOMPARE(ChordLabels(), labels);
  QCOMPARE(FrameOf(f.Pic_Preset[preset], f.Pic_PreOn), preset);
  QCOMPARE(FrameOf(f.Pic_Preset[1 - preset], f.Pic_PreOff), 1 - preset);
  QCOMPARE(FrameOf(f.Pic_Preset[1 - preset], f.Pic_PreOn), -1);

  // Clicking the selected preset again shows the same pictures.
  QTest::mouseClick(f.Pic_Preset[preset], Qt::LeftButton);
  QCOMPARE(ChordLabels(), labels);
  QCOMPARE(FrameOf(f.Pic_Preset[preset], f.Pic_PreOn), preset);

  // The frets move the note names, never the chord labels.
  HoldOnly(7);
  Show_NoteNames();
  Show_Preset();
  QCOMPARE(ChordLabels(), labels);
}

void DisplaysTest::popClickedWithFretFiveHeld() {
  HoldOnly(5);
  QTest::mouseClick(form1().Pic_Preset[1], Qt::LeftButton);
  QCOMPARE(ChordLabels(), (QStringList{"A# m7", "G Maj.", "E m7"}));
  QCOMPARE(NoteBoxNames(), (QStringList{"C", "F#", "A", "C", "G", "C", "D", "G", "B", "E", "D"}));
  QCOMPARE(StrNote[2][3], static_cast<Integer>(71));
}

void DisplaysTest::unchangedRedrawRepaintsNothing() {
  Form1& f = form1();
  std::vector<PictureBox*> displays(f.Picture2.begin(), f.Picture2.begin() + 11);
  displays.insert(displays.end(), f.Pic_CnameH.begin(), f.Pic_CnameH.end());
  displays.insert(displays.end(), f.Pic_CName.begin(), f.Pic_CName.end());
  displays.insert(displays.end(), f.Pic_Preset.begin(), f.Pic_Preset.end());
  QCoreApplication::processEvents();
  auto counts = [&] {
    std::vector<int> c;
    for (auto* d : displays) c.push_back(d->paintCount());
    return c;
  };
  const std::vector<int> before = counts();

  Show_NoteNames();
  Show_Preset();
  Show_NoteNames();
  QCoreApplication::processEvents();
  QCOMPARE(counts(), before);

  // A real change does repaint the boxes it changes, and only those.
  HoldOnly(1);
  Show_NoteNames();
  QCoreApplication::processEvents();
  QTRY_VERIFY(f.Picture2[0]->paintCount() > before[0]);
  QCOMPARE(f.Pic_CnameH[0]->paintCount(), before[11]);
}

void DisplaysTest::toneIndicatorLitForOneSecondAfterTheLastChange() {
  Form1& f = form1();
  // Opening the window lit OPL.3 and started the timer.
  QCOMPARE(ToneFrame(), 5);
  QVERIFY(f.Timer1.enabled());
  QCOMPARE(f.Timer1.interval(), 1000);
  QTRY_COMPARE_WITH_TIMEOUT(ToneFrame(), 4, 2000);
  QVERIFY(!f.Timer1.enabled());

  ToneNo = 24;
  Show_ToneInd();
  QCOMPARE(ToneFrame(), 3);   // Nylon lit
  QTest::qWait(600);
  ToneNo = 32;
  Show_ToneInd();
  QElapsedTimer sinceSecond;
  sinceSecond.start();
  QCOMPARE(ToneFrame(), 1);   // NylonB lit
  // The second change counts the whole second anew, so the normal look
  // comes a second after it, not a second after the first change.
  QVERIFY(f.Timer1.enabled());
  QVERIFY(f.Timer1.remainingTime() > 900);
  QTRY_COMPARE_WITH_TIMEOUT(ToneFrame(), 0, 2000);   // NylonB normal
  QVERIFY2(sinceSecond.elapsed() >= 990, qPrintable(QString::number(sinceSecond.elapsed())));
  QVERIFY(!f.Timer1.enabled());
  // It fires once: nothing lights it again by itself.
  QTest::qWait(1200);
  QCOMPARE(ToneFrame(), 0);
}

void DisplaysTest::toneOutsideTheRingLeavesTheIndicatorAlone() {
  Form1& f = form1();
  QTRY_COMPARE_WITH_TIMEOUT(ToneFrame(), 4, 2000);
  ToneNo = 25;
  Show_ToneInd();
  QCOMPARE(ToneFrame(), 4);
  QVERIFY(!f.Timer1.enabled());
  // The timer's own fallback for such a tone is NylonB's normal look.
  f.Timer1_Timer();
  QCOMPARE(ToneFrame(), 0);
}

void DisplaysTest::toneIndicatorStepsWithTheMouse_data() {
  QTest::addColumn<int>("button");
  QTest::addColumn<QList<int>>("tones");    // after each release, from 116
  QTest::addColumn<QList<int>>("frames");   // lit frame after each release
  QTest::newRow("left: forward") << int(Qt::LeftButton) << QList<int>{24, 32, 116} << QList<int>{3, 1, 5};
  QTest::newRow("right: backward") << int(Qt::RightButton) << QList<int>{32, 24, 116} << QList<int>{1, 3, 5};
  QTest::newRow("middle: backward") << int(Qt::MiddleButton) << QList<int>{32, 24, 116} << QList<int>{1, 3, 5};
}

void DisplaysTest::toneIndicatorStepsWithTheMouse() {
  QFETCH(int, button);
  QFETCH(QList<int>, tones);
  QFETCH(QList<int>, frames);
  Form1& f = form1();
  auto& log = program_->backend;
  QCOMPARE(ToneNo, static_cast<Integer>(116));

  // When the MIDI output is closed for the new tone, the indicator already shows it.
  int shownAtClose = -2;
  log.onCall = [&](const platform::Call& c) {
    if (c.fn == "midiOutClose") shownAtClose = ToneFrame();
  };
  for (int i = 0; i < tones.size(); ++i) {
    log.clear();
    QTest::mouseClick(f.Pic_TnInd, static_cast<Qt::MouseButton>(button));
    QCOMPARE(ToneNo, static_cast<Integer>(tones[i]));
    QCOMPARE(ToneFrame(), frames[i]);
    QCOMPARE(shownAtClose, frames[i]);
    QVERIFY(f.Timer1.enabled());
    QCOMPARE(log.names(), (std::vector<std::string>{"midiOutClose", "midiOutOpen", "midiOutShortMsg"}));
    QCOMPARE(log.midiMessages().back(), static_cast<uint32_t>(tones[i] * 256 + 0xC0));
  }
  log.onCall = nullptr;

  // A press alone does nothing.
  log.clear();
  QTest::mousePress(f.Pic_TnInd, static_cast<Qt::MouseButton>(button));
  QCOMPARE(ToneNo, static_cast<Integer>(116));
  QVERIFY(log.calls.empty());
  QTest::mouseRelease(f.Pic_TnInd, static_cast<Qt::MouseButton>(button));
}

int main(int argc, char** argv) {
  // The application lives on main's stack so that it goes before the test
  // library's own objects at exit.
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  DisplaysTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "ui_displays_qtest.moc"

// SPDX-License-Identifier: GPL-3.0-or-later
// Striking the note boxes with the mouse, through the shown window the way the
// window system delivers the buttons.
#include <QApplication>
#include <QtTest>
#include <memory>

#include "app/module1.h"
#include "support/support.h"
#include "ui/form1.h"

using namespace Module1;

namespace {

constexpr uint32_t NoteOnMsg(int note) { return 0x7F0090u | (static_cast<uint32_t>(note) << 8); }

QPoint CentreOf(int box) {
  PictureBox* b = form1().Picture2[box];
  return b->mapTo(&form1(), b->rect().center());
}

}  // namespace

class MouseStrike : public QObject {
  Q_OBJECT
  std::unique_ptr<testing_support::FreshProgram> program;
  platform::TestBackend& backend() { return program->backend; }
  QWindow* window() { return form1().windowHandle(); }

private slots:
  void init() {
    program = std::make_unique<testing_support::FreshProgram>();
    QVERIFY(Main());
    QVERIFY(QTest::qWaitForWindowExposed(&form1()));
    QTest::keyClick(&form1(), Qt::Key_Down);   // tone 24: notes sound as the table says
    QCOMPARE(ToneNo, Integer(24));
    backend().clear();
  }
  void cleanup() { program.reset(); }

  void anyButtonStrikesTheCellOfItsBox() {
    Form1& f = form1();
    f.Picture2[9]->setPicture(QPixmap());   // the mouse redraws no names
    QTest::mousePress(window(), Qt::RightButton, {}, CentreOf(4));
    QCOMPARE(f.Picture2[4]->borderStyle(), 1);
    QCOMPARE(backend().midiMessages(), std::vector<uint32_t>{NoteOnMsg(60)});   // cell (1, 1)
    backend().clear();
    QTest::mouseRelease(window(), Qt::RightButton, {}, CentreOf(4));
    QCOMPARE(f.Picture2[4]->borderStyle(), 0);
    QVERIFY(backend().calls.empty());
    QVERIFY(f.Picture2[9]->picture().isNull());

    QTest::keyPress(&f, Qt::Key_F3);
    QTest::mousePress(window(), Qt::MiddleButton, Qt::ShiftModifier, CentreOf(0));
    QTest::mouseRelease(window(), Qt::MiddleButton, Qt::ShiftModifier, CentreOf(0));
    QCOMPARE(backend().midiMessages(), std::vector<uint32_t>{NoteOnMsg(69 + 3)});
  }

  void theReleaseGoesToTheBoxWhereThePressBegan() {
    Form1& f = form1();
    QTest::mousePress(window(), Qt::LeftButton, {}, CentreOf(4));
    QTest::mouseMove(window(), CentreOf(5));
    QCOMPARE(f.Picture2[4]->borderStyle(), 1);
    QTest::mouseRelease(window(), Qt::LeftButton, {}, CentreOf(5));
    QCOMPARE(f.Picture2[4]->borderStyle(), 0);
    QCOMPARE(f.Picture2[5]->borderStyle(), 0);

    QTest::mousePress(window(), Qt::LeftButton, {}, CentreOf(10));
    QTest::mouseRelease(window(), Qt::LeftButton, {}, QPoint(-30, -30));   // outside the window
    QCOMPARE(f.Picture2[10]->borderStyle(), 0);
    QCOMPARE(backend().midiMessages(), (std::vector<uint32_t>{NoteOnMsg(60), NoteOnMsg(69)}));
  }

  void aDoubleClickStrikesTwice() {
    QTest::mouseDClick(window(), Qt::LeftButton, {}, CentreOf(2));
    QCOMPARE(backend().midiMessages(), std::vector<uint32_t>(2, NoteOnMsg(64)));
    QCOMPARE(form1().Picture2[2]->borderStyle(), 0);
  }
};

int main(int argc, char** argv) {
  // An application of this scope, not the support's static one: the input
  // devices that QTest creates must go before it at exit.
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  MouseStrike t;
  return QTest::qExec(&t, argc, argv);
}

#include "mouse_strike_qtest.moc"

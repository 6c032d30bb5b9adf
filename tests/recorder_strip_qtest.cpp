// SPDX-License-Identifier: GPL-3.0-or-later
// The recorder's button strip on the shown window, pressed and released with
// the mouse the way the window system delivers it.
#include <QtTest>
#include <memory>

#include "app/module1.h"
#include "support/support.h"
#include "ui/form1.h"

using namespace Module1;

class RecorderStrip : public QObject {
  Q_OBJECT
  std::unique_ptr<testing_support::FreshProgram> program;
  platform::TestBackend& backend() { return program->backend; }

  static QPoint Inside() { return QPoint(36, 8); }

private slots:
  void init() {
    program = std::make_unique<testing_support::FreshProgram>();
    WinDir = "/work folder/";
    form1().show();
    QVERIFY(QTest::qWaitForWindowExposed(&form1()));
    backend().clear();
  }
  void cleanup() { program.reset(); }

  void pressedLookOnlyWhileAnyMouseButtonIsHeld_data() {
    QTest::addColumn<int>("index");
    QTest::addColumn<Qt::MouseButton>("button");
    for (int i = 0; i < 4; ++i)
      for (Qt::MouseButton b : {Qt::LeftButton, Qt::RightButton, Qt::MiddleButton})
        QTest::addRow("button %d, mouse %d", i, int(b)) << i << b;
  }
  void pressedLookOnlyWhileAnyMouseButtonIsHeld() {
    QFETCH(int, index);
    QFETCH(Qt::MouseButton, button);
    PictureBox* box = form1().Pic_RecBots[index];
    QTest::mousePress(box, button, {}, Inside());
    QCOMPARE(box->borderStyle(), 1);
    QCOMPARE(backend().count("mciSendStringA") + backend().count("Beep") + backend().count("MsgBox"), 0);
    QTest::mouseRelease(box, button, {}, Inside());
    QCOMPARE(box->borderStyle(), 0);
  }

  void clicksRecordStopPlayAndSave() {
    QTest::mouseClick(form1().Pic_RecBots[2], Qt::LeftButton, {}, Inside());
    QCOMPARE(backend().count("Beep"), 1);   // nothing to play yet

    QTest::mouseClick(form1().Pic_RecBots[0], Qt::LeftButton, {}, Inside());
    QCOMPARE(Recording, Integer{1});
    QCOMPARE(form1().Pic_RecBots[0]->picture().cacheKey(), form1().Pic_RecInd[1]->picture().cacheKey());

    QTest::mouseClick(form1().Pic_RecBots[1], Qt::LeftButton, {}, Inside());
    QCOMPARE(Recording, Integer{0});
    QCOMPARE(HasTake, Integer{1});
    QCOMPARE(form1().Pic_RecBots[0]->picture().cacheKey(), form1().Pic_RecInd[0]->picture().cacheKey());
    QCOMPARE(backend().mciCommands(),
             (std::vector<std::string>{"open  new alias newSound type waveaudio",
                                       "record newSound from 0 to 600000 overwrite", "stop newSound",
                                       "save newSound \"/work folder/tempsound.wav\"", "close newSound"}));

    backend().clear();
    backend().saveDialogAnswers = {"/out/take.wav"};
    QTest::mouseClick(form1().Pic_RecBots[3], Qt::LeftButton, {}, Inside());
    QCOMPARE(backend().mciCommands(),
             (std::vector<std::string>{"open \"/work folder/tempsound.wav\" alias Sound type waveaudio",
                                       "save Sound \"/out/take.wav\"", "close Sound"}));
    QCOMPARE(backend().count("MsgBox"), 0);
  }
};

QTEST_MAIN(RecorderStrip)
#include "recorder_strip_qtest.moc"

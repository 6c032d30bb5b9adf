// SPDX-License-Identifier: GPL-3.0-or-later
// The main window as a window: its fixed client area, caption and icon, the
// rectangles of its displays, the hidden frame sets, how a picture box shows
// its picture and its pressed look, key preview and the close request.
#include <QtTest>

#include <QMenuBar>
#include <string>
#include <vector>

#include "app/module1.h"
#include "support/support.h"
#include "ui/form1.h"

using namespace Module1;
using testing_support::FreshProgram;

namespace {

const QRect kClient(0, 0, 345, 288);

struct Expected {
  const char* name;
  PictureBox* box;
  QRect rect;
};

// Every display with the rectangle it has while the program runs.
std::vector<Expected> Displays(Form1& f) {
  const int boxLeft[11] = {136, 176, 216, 136, 176, 216, 136, 176, 216, 256, 256};
  const int boxTop[11] = {216, 216, 216, 176, 176, 176, 136, 136, 136, 136, 216};
  std::vector<Expected> out;
  for (int i = 0; i < 11; ++i) out.push_back({"Picture2", f.Picture2[i], QRect(boxLeft[i], boxTop[i], 33, 33)});
  const int rowTop[3] = {136, 176, 216};
  for (int i = 0; i < 3; ++i) {
    out.push_back({"Pic_CnameH", f.Pic_CnameH[i], QRect(56, rowTop[i], 33, 33)});
    out.push_back({"Pic_CName", f.Pic_CName[i], QRect(88, rowTop[i], 40, 33)});
  }
  out.push_back({"Pic_Preset", f.Pic_Preset[0], QRect(56, 112, 113, 17)});
  out.push_back({"Pic_Preset", f.Pic_Preset[1], QRect(176, 112, 113, 17)});
  out.push_back({"Pic_TnInd", f.Pic_TnInd, QRect(296, 232, 41, 17)});
  out.push_back({"Pic_KeyInd", f.Pic_KeyInd[0], QRect(0, 264, 9, 17)});
  for (int i = 0; i < 4; ++i) out.push_back({"Pic_RecBots", f.Pic_RecBots[i], QRect(16 + 80 * i, 264, 73, 17)});
  return out;
}

std::vector<PictureBox*> FrameSets(Form1& f) {
  std::vector<PictureBox*> out;
  auto add = [&](auto& set) { out.insert(out.end(), set.begin(), set.end()); };
  add(f.PIC_IndSrc);
  add(f.Pic_CNameHS);
  add(f.Pic_CNameLS);
  add(f.Pic_PreOn);
  add(f.Pic_PreOff);
  add(f.Pic_ToneName);
  add(f.Pic_RecInd);
  out.push_back(f.Pic_KeyInd[1]);
  out.push_back(f.Pic_KeyInd[2]);
  return out;
}

void CheckDisplayRects(Form1& f) {
  for (const Expected& e : Displays(f)) {
    QVERIFY2(e.box->geometry() == e.rect, e.name);
    QVERIFY2(kClient.contains(e.box->geometry()), e.name);
  }
}

QImage Rgb(const QPixmap& p) { return p.toImage().convertToFormat(QImage::Format_RGB32); }

// A picture with a different colour in every pixel.
QPixmap Pattern(int w, int h) {
  QImage img(w, h, QImage::Format_RGB32);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) img.setPixel(x, y, qRgb(x * 5, y * 5, 100));
  return QPixmap::fromImage(img);
}

// A control that records the order in which its four properties are set.
struct RecordingControl {
  std::vector<std::string> order;
  int w = 0, h = 0, l = 0, t = 0;
  void setWidth(int v) { order.push_back("Width"); w = v; }
  void setHeight(int v) { order.push_back("Height"); h = v; }
  void setLeft(int v) { order.push_back("Left"); l = v; }
  void setTop(int v) { order.push_back("Top"); t = v; }
};

}  // namespace

class WindowTest : public QObject {
  Q_OBJECT

private slots:
  void fixedClientAreaCaptionAndIcon();
  void displaysAtTheirRectanglesFrameSetsOutside();
  void setCtlRectSetsSizeBeforePosition();
  void whatTheWindowShowsWhenCreated();
  void backgroundAndDisplaysAsDrawn();
  void withoutPicturesGreyWindowAndWhiteDisplays();
  void pictureBoxShowsItsPictureUnscaledAndClipped();
  void pressedLookIsASingleLineFrame();
  void pictureBoxMouseEvents();
  void keysReachTheWindowWhateverHasTheFocus();
  void closeRequestRunsTheCloseHandlers();
};

void WindowTest::fixedClientAreaCaptionAndIcon() {
  FreshProgram p;
  QVERIFY(Main());
  Form1& f = form1();
  QVERIFY(QTest::qWaitForWindowExposed(&f));
  QCOMPARE(f.size(), kClient.size());
  QCOMPARE(f.rect(), kClient);
  QCOMPARE(f.windowTitle(), QStringLiteral("Plinkora"));
  QCOMPARE(f.pos(), QPoint(0, 0));

  // Fixed: neither the program nor the window system can change the size.
  QCOMPARE(f.minimumSize(), kClient.size());
  QCOMPARE(f.maximumSize(), kClient.size());
  f.resize(500, 400);
  QCOMPARE(f.size(), kClient.size());
  const Qt::WindowFlags flags = f.windowFlags();
  QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
  QVERIFY(!(flags & Qt::WindowMinimizeButtonHint));
  QVERIFY(flags & Qt::WindowTitleHint);
  QVERIFY(f.findChildren<QMenuBar*>().isEmpty());

  // The application icon with its two images.
  const QList<QSize> sizes = f.windowIcon().availableSizes();
  QVERIFY2(sizes.contains(QSize(32, 32)), "no 32 x 32 image");
  QVERIFY2(sizes.contains(QSize(16, 16)), "no 16 x 16 image");
}

void WindowTest::displaysAtTheirRectanglesFrameSetsOutside() {
  FreshProgram p;
  // As laid out when the window is created, hidden...
  CheckDisplayRects(form1());
  QVERIFY(!form1().isVisible());
  // ...and as placed when it is opened.
  QVERIFY(Main());
  Form1& f = form1();
  CheckDisplayRects(f);
  QVERIFY(f.isVisible());

  // The unused note box 11 lies below the client area.
  QVERIFY(!kClient.intersects(f.Picture2[11]->geometry()));
  for (PictureBox* frame : FrameSets(f)) {
    QVERIFY(!kClient.intersects(frame->geometry()));
    QVERIFY(!frame->isVisible());
  }
  // The chord qualities are 40 pixels wide, the roots 33.
  QCOMPARE(f.Pic_CName[0]->width(), 40);
  QCOMPARE(f.Pic_CnameH[0]->width(), 33);
}

void WindowTest::setCtlRectSetsSizeBeforePosition() {
  RecordingControl fake;
  Integer w = 33, h = 33, l = 136, t = 216;
  Set_CtlRect(fake, w, h, l, t);
  QCOMPARE(fake.order, (std::vector<std::string>{"Width", "Height", "Left", "Top"}));
  QCOMPARE(QRect(fake.l, fake.t, fake.w, fake.h), QRect(136, 216, 33, 33));

  QWidget parent;
  PictureBox box(&parent);
  box.setGeometry(5, 6, 7, 8);
  Set_CtlRect(box, w, h, l, t);
  QCOMPARE(box.geometry(), QRect(136, 216, 33, 33));
}

void WindowTest::whatTheWindowShowsWhenCreated() {
  FreshProgram p;
  Form1& f = form1();
  QVERIFY(!f.isVisible());
  for (int i = 0; i <= 11; ++i) QVERIFY(f.Picture2[i]->picture().isNull());
  for (int i = 0; i < 3; ++i) {
    QVERIFY(f.Pic_CnameH[i]->picture().isNull());
    QVERIFY(f.Pic_CName[i]->picture().isNull());
  }
  QVERIFY(f.Pic_Preset[0]->picture().isNull());
  QVERIFY(f.Pic_Preset[1]->picture().isNull());
  QVERIFY(f.Pic_TnInd->picture().isNull());
  // The lamp idle, the Rec button showing its idle face, the others their faces.
  QVERIFY(!f.Pic_KeyInd[1]->picture().isNull());
  QCOMPARE(f.Pic_KeyInd[0]->picture().cacheKey(), f.Pic_KeyInd[1]->picture().cacheKey());
  QCOMPARE(f.Pic_RecBots[0]->picture().cacheKey(), f.Pic_RecInd[0]->picture().cacheKey());
  for (int i = 1; i < 4; ++i) QCOMPARE(f.Pic_RecBots[i]->picture().size(), QSize(73, 17));
  for (int i = 0; i < 4; ++i) QCOMPARE(f.Pic_RecBots[i]->borderStyle(), 0);
  QVERIFY(!f.Timer1.enabled());
  QCOMPARE(f.Timer1.interval(), 1000);
  QCOMPARE(f.background().size(), QSize(345, 290));

  // A note box that never got a frame is plain white.
  const QImage box = Rgb(f.Picture2[0]->grab());
  QCOMPARE(box.size(), QSize(33, 33));
  for (int y = 0; y < 33; ++y)
    for (int x = 0; x < 33; ++x) QCOMPARE(box.pixel(x, y), qRgb(255, 255, 255));
}

void WindowTest::backgroundAndDisplaysAsDrawn() {
  FreshProgram p;
  QVERIFY(Main());
  Form1& f = form1();
  QVERIFY(QTest::qWaitForWindowExposed(&f));
  const QImage shot = Rgb(f.grab());
  QCOMPARE(shot.size(), kClient.size());
  const QImage bg = Rgb(f.background());

  // Outside the displays the background shows, unscaled from its top-left
  // corner (its last two rows are cut off).
  QRegion covered;
  for (const Expected& e : Displays(f)) covered += e.rect;
  int compared = 0;
  for (int y = 0; y < shot.height(); ++y)
    for (int x = 0; x < shot.width(); ++x) {
      if (covered.contains(QPoint(x, y))) continue;
      if (shot.pixel(x, y) != bg.pixel(x, y))
        QFAIL(qPrintable(QStringLiteral("background differs at %1,%2").arg(x).arg(y)));
      ++compared;
    }
  QVERIFY(compared > 345 * 288 / 2);

  // Each display shows its frame pixel for pixel at its place, where no other
  // display lies over it (a chord root's last column is under its quality).
  for (const Expected& e : Displays(f)) {
    const QImage want = Rgb(e.box->picture());
    QCOMPARE(want.size(), e.rect.size());
    const QRegion visible = e.box->visibleRegion();
    QVERIFY2(visible.boundingRect().width() >= e.rect.width() - 1, e.name);
    for (const QRect& r : visible)
      for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x)
          if (shot.pixel(e.rect.topLeft() + QPoint(x, y)) != want.pixel(x, y))
            QFAIL(qPrintable(QStringLiteral("%1 differs at %2,%3").arg(e.name).arg(x).arg(y)));
  }
}

void WindowTest::withoutPicturesGreyWindowAndWhiteDisplays() {
  FreshProgram p;
  testing_support::ScratchDir empty;
  AppDir = empty.path;
  Form1& f = form1();
  QVERIFY(f.background().isNull());
  const QImage shot = Rgb(f.grab());
  QCOMPARE(shot.pixel(5, 5), qRgb(128, 128, 128));
  QCOMPARE(shot.pixel(340, 100), qRgb(128, 128, 128));
  QCOMPARE(shot.pixel(140, 220), qRgb(255, 255, 255));   // note box 0
  QCOMPARE(shot.pixel(20, 270), qRgb(255, 255, 255));    // Rec button without its face
}

void WindowTest::pictureBoxShowsItsPictureUnscaledAndClipped() {
  QWidget parent;
  PictureBox box(&parent);
  box.setGeometry(0, 0, 33, 33);

  // Larger than the box: its top-left corner, cut at the edges.
  const QPixmap big = Pattern(50, 40);
  box.setPicture(big);
  QCOMPARE(box.picture().cacheKey(), big.cacheKey());   // the same picture, not a copy
  QCOMPARE(Rgb(box.grab()), Rgb(big).copy(0, 0, 33, 33));

  // Smaller: the rest is the window-background colour.
  const QPixmap small = Pattern(10, 12);
  box.setPicture(small);
  const QImage shot = Rgb(box.grab());
  QCOMPARE(shot.copy(0, 0, 10, 12), Rgb(small));
  QCOMPARE(shot.pixel(10, 0), qRgb(255, 255, 255));
  QCOMPARE(shot.pixel(0, 12), qRgb(255, 255, 255));
  QCOMPARE(shot.pixel(32, 32), qRgb(255, 255, 255));
}

void WindowTest::pressedLookIsASingleLineFrame() {
  FreshProgram p;
  QVERIFY(Main());
  Form1& f = form1();
  for (PictureBox* box : {f.Picture2[4], f.Pic_RecBots[1]}) {
    const QImage face = Rgb(box->picture());
    box->setBorderStyle(1);
    QImage shot = Rgb(box->grab());
    const int w = shot.width(), h = shot.height();
    // One line of one colour along the four edges, clearly different from
    // the face it covers (the faces have dark edges of their own).
    const QRgb line = shot.pixel(0, 0);
    int edgePixels = 0, contrast = 0;
    auto edge = [&](int x, int y) {
      QCOMPARE(shot.pixel(x, y), line);
      const QRgb was = face.pixel(x, y);
      contrast += qAbs(qGray(line) - qGray(was));
      ++edgePixels;
    };
    for (int x = 0; x < w; ++x) {
      edge(x, 0);
      edge(x, h - 1);
    }
    for (int y = 1; y < h - 1; ++y) {
      edge(0, y);
      edge(w - 1, y);
    }
    QVERIFY2(contrast / edgePixels >= 64, "the pressed look is hard to see");
    QCOMPARE(shot.copy(1, 1, w - 2, h - 2), face.copy(1, 1, w - 2, h - 2));
    box->setBorderStyle(0);
    QCOMPARE(Rgb(box->grab()), face);
  }
}

void WindowTest::pictureBoxMouseEvents() {
  QWidget parent;
  parent.resize(100, 100);
  PictureBox box(&parent);
  box.setGeometry(10, 10, 33, 33);
  parent.show();
  std::vector<std::string> got;
  auto fmt = [](const char* what, int b, int s, float x, float y) {
    return QStringLiteral("%1 %2 %3 %4,%5").arg(what).arg(b).arg(s).arg(x).arg(y).toStdString();
  };
  box.onMouseDown = [&](int b, int s, float x, float y) { got.push_back(fmt("down", b, s, x, y)); };
  box.onMouseUp = [&](int b, int s, float x, float y) { got.push_back(fmt("up", b, s, x, y)); };
  box.onClick = [&] { got.push_back("click"); };

  QTest::mouseClick(&box, Qt::LeftButton, Qt::NoModifier, QPoint(3, 4));
  QTest::mouseClick(&box, Qt::RightButton, Qt::ShiftModifier, QPoint(5, 6));
  QTest::mouseClick(&box, Qt::MiddleButton, Qt::ControlModifier | Qt::AltModifier, QPoint(7, 8));
  QCOMPARE(got, (std::vector<std::string>{"down 1 0 3,4", "up 1 0 3,4", "click", "down 2 1 5,6",
                                          "up 2 1 5,6", "click", "down 4 6 7,8", "up 4 6 7,8",
                                          "click"}));

  // Released off the box: the box still gets the release, but no click.
  got.clear();
  QTest::mousePress(&box, Qt::LeftButton, Qt::NoModifier, QPoint(3, 3));
  QTest::mouseRelease(&box, Qt::LeftButton, Qt::NoModifier, QPoint(60, 3));
  QCOMPARE(got, (std::vector<std::string>{"down 1 0 3,3", "up 1 0 60,3"}));
}

void WindowTest::keysReachTheWindowWhateverHasTheFocus() {
  FreshProgram p;
  QVERIFY(Main());
  Form1& f = form1();
  QVERIFY(QTest::qWaitForWindowExposed(&f));
  p.backend.clear();

  // F3 held shows on the note boxes (A + 3 = C on box 0), whichever widget the
  // key goes to: the window, or a picture box the player has just clicked.
  for (QWidget* target : std::initializer_list<QWidget*>{&f, f.Picture2[4], f.Pic_Preset[0], f.Pic_RecBots[2], f.Pic_TnInd}) {
    if (target != &f) QTest::mouseClick(target, Qt::LeftButton);
    FretKey.fill(0);
    HeldFret = 0;
    QTest::keyPress(target, Qt::Key_F3);
    QCOMPARE(HeldFret, static_cast<Integer>(3));
    QTest::keyRelease(target, Qt::Key_F3);
    QCOMPARE(HeldFret, static_cast<Integer>(0));
  }
  // A strike from the keypad after a click on a note box sounds its note.
  PresetNo = 0;
  Set_StrNote();
  ToneNo = 116;
  QTest::mouseClick(f.Picture2[0], Qt::LeftButton);
  p.backend.clear();
  QTest::keyPress(f.Picture2[0], Qt::Key_5, Qt::KeypadModifier);
  QTest::keyRelease(f.Picture2[0], Qt::Key_5, Qt::KeypadModifier);
  const uint32_t noteOn72 = 0x7F0090u | (72u << 8);   // box 4: 60 + 12
  QCOMPARE(p.backend.midiMessages(), std::vector<uint32_t>{noteOn72});
}

void WindowTest::closeRequestRunsTheCloseHandlers() {
  FreshProgram p;
  QVERIFY(Main());
  Form1& f = form1();
  p.backend.clear();
  QVERIFY(f.close());
  QVERIFY(!f.isVisible());
  // The release sequence ran: the MIDI output closed, every sound stopped.
  QCOMPARE(p.backend.count("midiOutClose"), 1);
  const auto stops = p.backend.callsTo("sndPlaySoundA");
  QVERIFY(!stops.empty());
  QVERIFY(stops[0].isNull);
  QCOMPARE(stops[0].flags, int64_t(SND_NODEFAULT));
}

int main(int argc, char** argv) {
  // The application lives on main's stack so that it goes before the test
  // library's own objects at exit.
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  WindowTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "ui_window_qtest.moc"

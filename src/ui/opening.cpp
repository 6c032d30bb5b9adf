// SPDX-License-Identifier: GPL-3.0-or-later
// The last two steps of start-up: the splash while the start sound plays, then
// the main window at the screen's top-left corner.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QPainter>
#include <QScreen>
#include <QThread>
#include <QWindow>

#include "app/module1.h"
#include "platform/startup_stamps.h"
#include "ui/artwork.h"
#include "ui/form1.h"
#include "ui/layout.h"
#include "ui/splash.h"

namespace {

FrmSplash* splashInstance = nullptr;

// Waits, at most half a second and without taking any input, until the window
// system shows the widget, then paints it at once.
void WaitUntilPainted(QWidget& w) {
  QWindow* window = w.windowHandle();
  if (!window) return;
  QElapsedTimer waited;
  waited.start();
  while (!window->isExposed() && waited.elapsed() < 500) {
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    if (!window->isExposed()) QThread::msleep(5);
  }
  if (window->isExposed()) w.repaint();
}

}  // namespace

FrmSplash::FrmSplash()
    : QWidget(nullptr, Qt::SplashScreen | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint) {
  picture_ = artwork::load(QString::fromStdString(Module1::AppDir) + QStringLiteral("splash.jpg"));
  setFixedSize(kClientWidth, kClientHeight);
  setAttribute(Qt::WA_ShowWithoutActivating);
}

void FrmSplash::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), palette().color(QPalette::Window));
  if (picture_.devicePixelRatio() != devicePixelRatioF()) p.setRenderHint(QPainter::SmoothPixmapTransform);
  if (!picture_.isNull()) p.drawPixmap(0, 0, picture_);
}

FrmSplash* frmSplash() { return splashInstance; }

namespace Module1 {

void Show_Splash() {
  splashInstance = new FrmSplash();
  // Centred on the screen; the client area is the fixed size.
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect whole = screen->geometry();
    splashInstance->move(whole.x() + (whole.width() - FrmSplash::kClientWidth) / 2,
                         whole.y() + (whole.height() - FrmSplash::kClientHeight) / 2);
  }
  splashInstance->show();
  DoEvents();
  // An X server maps the window a moment after it is asked to; the start
  // sound blocks the program, so make sure the picture is on the screen first.
  WaitUntilPainted(*splashInstance);
  platform::startup::mark("splash");
  sndPlaySoundA((AppDir + "start.wav").c_str(), SND_SYNC);
  platform::startup::mark("start sound");
  delete splashInstance;
  splashInstance = nullptr;
}

void Open_MainForm() {
  Form1& f = form1();
  // The client area is fixed; the window system adds its frame around it.
  f.setFixedSize(Form1::kClientWidth, Form1::kClientHeight);
  // The outer top-left corner of the window at the screen's top-left corner.
  const QScreen* screen = QGuiApplication::primaryScreen();
  f.move(screen ? screen->geometry().topLeft() : QPoint(0, 0));

  Show_NoteNames();
  Show_Preset();
  Show_ToneInd();

  // Preset buttons, chord roots, chord qualities, note boxes, recorder
  // buttons, key lamp: each gets width, height, left and top, in that order.
  auto place = [](PictureBox* ctl, const layout::Rect& r) {
    Integer w = static_cast<Integer>(r.width), h = static_cast<Integer>(r.height);
    Integer l = static_cast<Integer>(r.left), t = static_cast<Integer>(r.top);
    Set_CtlRect(*ctl, w, h, l, t);
  };
  for (int i = 0; i < 2; ++i) place(f.Pic_Preset[i], layout::kPreset[i]);
  for (int i = 0; i < 3; ++i) place(f.Pic_CnameH[i], layout::kChordRoot[i]);
  for (int i = 0; i < 3; ++i) place(f.Pic_CName[i], layout::kChordQuality[i]);
  for (int i = 0; i < 11; ++i) place(f.Picture2[i], layout::kNoteBox[i]);
  for (int i = 0; i < 4; ++i) place(f.Pic_RecBots[i], layout::kRecorderButton[i]);
  place(f.Pic_KeyInd[0], layout::kKeyLamp);

  f.show();
  f.activateWindow();
  platform::startup::mark("main window");
}

}  // namespace Module1

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
#include "ui/form1.h"
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
  picture_ = QPixmap(QString::fromStdString(Module1::AppDir) + QStringLiteral("splash.jpg"));
  setFixedSize(kClientWidth, kClientHeight);
  setAttribute(Qt::WA_ShowWithoutActivating);
}

void FrmSplash::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), palette().color(QPalette::Window));
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
  sndPlaySoundA((AppDir + "start.wav").c_str(), SND_SYNC);
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

  struct Place { PictureBox* ctl; Integer w, h, l, t; };
  const Place places[] = {
      {f.Pic_Preset[0], 113, 17, 56, 112},  {f.Pic_Preset[1], 113, 17, 176, 112},
      {f.Pic_CnameH[0], 33, 33, 56, 136},   {f.Pic_CnameH[1], 33, 33, 56, 176},
      {f.Pic_CnameH[2], 33, 33, 56, 216},   {f.Pic_CName[0], 40, 33, 88, 136},
      {f.Pic_CName[1], 40, 33, 88, 176},    {f.Pic_CName[2], 40, 33, 88, 216},
      {f.Picture2[0], 33, 33, 136, 216},    {f.Picture2[1], 33, 33, 176, 216},
      {f.Picture2[2], 33, 33, 216, 216},    {f.Picture2[3], 33, 33, 136, 176},
      {f.Picture2[4], 33, 33, 176, 176},    {f.Picture2[5], 33, 33, 216, 176},
      {f.Picture2[6], 33, 33, 136, 136},    {f.Picture2[7], 33, 33, 176, 136},
      {f.Picture2[8], 33, 33, 216, 136},    {f.Picture2[9], 33, 33, 256, 136},
      {f.Picture2[10], 33, 33, 256, 216},   {f.Pic_RecBots[0], 73, 17, 16, 264},
      {f.Pic_RecBots[1], 73, 17, 96, 264},  {f.Pic_RecBots[2], 73, 17, 176, 264},
      {f.Pic_RecBots[3], 73, 17, 256, 264}, {f.Pic_KeyInd[0], 9, 17, 0, 264},
  };
  for (Place p : places) Set_CtlRect(*p.ctl, p.w, p.h, p.l, p.t);

  f.show();
  f.activateWindow();
}

}  // namespace Module1

// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/form1.h"
#include "ui/artwork.h"
#include "ui/layout.h"

#include <QApplication>
#include <QCloseEvent>
#include <QIcon>
#include <QKeyEvent>
#include <QPainter>

namespace {

Form1* instance = nullptr;

QPixmap LoadPicture(const char* name) {
  return artwork::load(QString::fromStdString(Module1::AppDir) + QString::fromLatin1(name));
}

QString Numbered(const char* stem, int n, int width, const char* ext) {
  return QStringLiteral("%1%2.%3")
      .arg(QLatin1String(stem))
      .arg(n, width, 10, QLatin1Char('0'))
      .arg(QLatin1String(ext));
}

}  // namespace

Form1::Form1() : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                       Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint) {
  setWindowTitle(QStringLiteral("Plinkora"));
  setFixedSize(kClientWidth, kClientHeight);
  QPalette pal = palette();
  pal.setColor(QPalette::Window, QColor(128, 128, 128));
  setPalette(pal);
  setAutoFillBackground(true);
  setFocusPolicy(Qt::StrongFocus);

  auto box = [this](int left, int top, int w, int h) {
    auto* b = new PictureBox(this);
    b->setGeometry(left, top, w, h);
    return b;
  };
  auto boxAt = [&box](const layout::Rect& r) { return box(r.left, r.top, r.width, r.height); };

  // Displays, at their places on the panel.
  for (int i = 0; i < 11; ++i) Picture2[i] = boxAt(layout::kNoteBox[i]);
  Picture2[11] = box(272, 328, 33, 33);
  for (int i = 0; i < 3; ++i) {
    Pic_CnameH[i] = boxAt(layout::kChordRoot[i]);
    Pic_CName[i] = boxAt(layout::kChordQuality[i]);
  }
  for (int i = 0; i < 2; ++i) Pic_Preset[i] = boxAt(layout::kPreset[i]);
  Pic_TnInd = boxAt(layout::kToneIndicator);
  Pic_KeyInd[0] = boxAt(layout::kKeyLamp);
  for (int i = 0; i < 4; ++i) Pic_RecBots[i] = boxAt(layout::kRecorderButton[i]);

  // Frame sets, in the part of the design area that the client area cuts away.
  for (int k = 0; k < 12; ++k) {
    PIC_IndSrc[k] = box(8 + 40 * k, 480, 33, 33);
    Pic_CNameHS[k] = box(8 + 40 * k, 520, 33, 33);
  }
  for (int k = 0; k < 4; ++k) Pic_CNameLS[k] = box(360 + 48 * k, 360, 40, 33);
  for (int k = 0; k < 2; ++k) {
    Pic_PreOn[k] = box(360 + 120 * k, 8, 113, 17);
    Pic_PreOff[k] = box(360 + 120 * k, 32, 113, 17);
    Pic_RecInd[k] = box(360 + 80 * k, 120, 73, 17);
  }
  for (int k = 0; k < 6; ++k) Pic_ToneName[k] = box(360 + 48 * k, 64, 41, 17);
  Pic_KeyInd[1] = box(360, 96, 9, 17);
  Pic_KeyInd[2] = box(376, 96, 9, 17);

  // The frame sets are only a store of pictures: besides lying outside the
  // client area they are kept hidden, so that no window manager resizing the
  // window and no paint pass ever shows or draws them.
  auto hideAll = [](auto& set) {
    for (PictureBox* b : set)
      if (b) b->hide();
  };
  hideAll(PIC_IndSrc);
  hideAll(Pic_CNameHS);
  hideAll(Pic_CNameLS);
  hideAll(Pic_PreOn);
  hideAll(Pic_PreOff);
  hideAll(Pic_ToneName);
  hideAll(Pic_RecInd);
  Pic_KeyInd[1]->hide();
  Pic_KeyInd[2]->hide();

  loadFrames();

  // At load only the recorder buttons and the idle lamp show a picture.
  for (int i = 0; i < 4; ++i) Pic_RecBots[i]->setPicture(LoadPicture(Numbered("recbot_", i, 1, "jpg").toLatin1()));
  Pic_RecBots[0]->setPicture(Pic_RecInd[0]->picture());
  Pic_KeyInd[0]->setPicture(Pic_KeyInd[1]->picture());

  // Events of the controls.
  for (int i = 0; i < 12; ++i) {
    Picture2[i]->onMouseDown = [this, i](int b, int s, float x, float y) {
      Picture2_MouseDown(static_cast<Integer>(i), static_cast<Integer>(b), static_cast<Integer>(s), x, y);
    };
    Picture2[i]->onMouseUp = [this, i](int b, int s, float x, float y) {
      Picture2_MouseUp(static_cast<Integer>(i), static_cast<Integer>(b), static_cast<Integer>(s), x, y);
    };
  }
  for (int i = 0; i < 2; ++i)
    Pic_Preset[i]->onClick = [this, i] { Pic_Preset_Click(static_cast<Integer>(i)); };
  Pic_TnInd->onMouseUp = [this](int b, int s, float x, float y) {
    Pic_TnInd_MouseUp(static_cast<Integer>(b), static_cast<Integer>(s), x, y);
  };
  for (int i = 0; i < 4; ++i) {
    Pic_RecBots[i]->onMouseDown = [this, i](int b, int s, float x, float y) {
      Pic_RecBots_MouseDown(static_cast<Integer>(i), static_cast<Integer>(b), static_cast<Integer>(s), x, y);
    };
    Pic_RecBots[i]->onMouseUp = [this, i](int b, int s, float x, float y) {
      Pic_RecBots_MouseUp(static_cast<Integer>(i), static_cast<Integer>(b), static_cast<Integer>(s), x, y);
    };
    Pic_RecBots[i]->onClick = [this, i] { Pic_RecBots_Click(static_cast<Integer>(i)); };
  }

  Timer1.setInterval(1000);
  Timer1.setEnabled(false);
  Timer1.onTimer = [this] { Timer1_Timer(); };

  // Key preview: the window sees every key before any control does.
  qApp->installEventFilter(this);
}

Form1::~Form1() {
  if (qApp) qApp->removeEventFilter(this);
  if (instance == this) instance = nullptr;
}

void Form1::loadFrames() {
  background_ = LoadPicture("background.jpg");
  QIcon icon(QString::fromStdString(Module1::AppDir) + QStringLiteral("plinkora.ico"));
  if (!icon.isNull()) setWindowIcon(icon);

  for (int k = 0; k < 12; ++k) {
    PIC_IndSrc[k]->setPicture(LoadPicture(Numbered("note_", k, 2, "gif").toLatin1()));
    Pic_CNameHS[k]->setPicture(LoadPicture(Numbered("root_", k, 2, "jpg").toLatin1()));
  }
  for (int k = 0; k < 4; ++k)
    Pic_CNameLS[k]->setPicture(LoadPicture(Numbered("quality_", k, 1, "jpg").toLatin1()));
  for (int k = 0; k < 2; ++k) {
    Pic_PreOn[k]->setPicture(LoadPicture(Numbered("preset_on_", k, 1, "jpg").toLatin1()));
    Pic_PreOff[k]->setPicture(LoadPicture(Numbered("preset_off_", k, 1, "jpg").toLatin1()));
    Pic_RecInd[k]->setPicture(LoadPicture(Numbered("recind_", k, 1, "jpg").toLatin1()));
  }
  for (int k = 0; k < 6; ++k)
    Pic_ToneName[k]->setPicture(LoadPicture(Numbered("tone_", k, 1, "jpg").toLatin1()));
  Pic_KeyInd[1]->setPicture(LoadPicture("lamp_1.gif"));
  Pic_KeyInd[2]->setPicture(LoadPicture("lamp_2.gif"));
}

void Form1::paintEvent(QPaintEvent*) {
  QPainter p(this);
  if (background_.devicePixelRatio() != devicePixelRatioF())
    p.setRenderHint(QPainter::SmoothPixmapTransform);
  if (!background_.isNull()) p.drawPixmap(0, 0, background_);
}

void Form1::closeEvent(QCloseEvent* e) {
  Integer cancel = 0;
  Integer unloadMode = 0;
  Form_QueryUnload(cancel, unloadMode);
  Form_Unload(cancel);
  e->accept();   // closing is never refused
}

bool Form1::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease) {
    auto* w = qobject_cast<QWidget*>(watched);
    if (w && w->window() == this) {
      keyEvent(static_cast<QKeyEvent*>(event));
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

Form1& form1() {
  if (!instance) instance = new Form1();
  return *instance;
}

bool form1Exists() { return instance != nullptr; }

void unloadForm1() {
  delete instance;
  instance = nullptr;
}

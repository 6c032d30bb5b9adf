// SPDX-License-Identifier: GPL-3.0-or-later
// A picture box: shows one picture unscaled at its top-left corner, clipped at
// its edges, window-background colour where the picture does not reach.  The
// only thing ever drawn besides the picture is the one-pixel frame of the
// pressed look (BorderStyle 1).
#pragma once

#include <QPixmap>
#include <QWidget>
#include <functional>

class PictureBox : public QWidget {
  Q_OBJECT
public:
  explicit PictureBox(QWidget* parent = nullptr);

  // Takes over the picture whole (shared, not copied).  Assigning the picture
  // already shown changes nothing and repaints nothing.
  void setPicture(const QPixmap& picture);
  const QPixmap& picture() const { return picture_; }

  void setBorderStyle(int style);   // 0 none, 1 single line
  int borderStyle() const { return borderStyle_; }

  // The four properties Set_CtlRect assigns, in pixels.
  void setWidth(int w) { resize(w, height()); }
  void setHeight(int h) { resize(width(), h); }
  void setLeft(int x) { move(x, y()); }
  void setTop(int y) { move(x(), y); }

  // Mouse events with the button as 1 left, 2 right, 4 middle, and the
  // modifier mask as 1 Shift, 2 Ctrl, 4 Alt.
  std::function<void(int button, int shift, float x, float y)> onMouseDown;
  std::function<void(int button, int shift, float x, float y)> onMouseUp;
  std::function<void()> onClick;   // press and release of a button inside the box

  // Number of paint events so far (the cost of redraws is measurable).
  int paintCount() const { return paintCount_; }

protected:
  void paintEvent(QPaintEvent*) override;
  void mousePressEvent(QMouseEvent* e) override;
  void mouseReleaseEvent(QMouseEvent* e) override;

private:
  void repaintIfChanged();

  QPixmap picture_;
  int borderStyle_ = 0;
  int paintCount_ = 0;
  // What the last paint showed.
  bool painted_ = false;
  qint64 paintedKey_ = 0;
  int paintedBorder_ = 0;
  bool checkPending_ = false;
  Qt::MouseButtons pressed_;
};

int VbButton(Qt::MouseButton b);
int VbShift(Qt::KeyboardModifiers m);

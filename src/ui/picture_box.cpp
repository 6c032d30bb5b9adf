// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/picture_box.h"

#include <QMouseEvent>
#include <QPainter>

PictureBox::PictureBox(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  setFocusPolicy(Qt::NoFocus);
}

void PictureBox::setPicture(const QPixmap& picture) {
  if (picture.cacheKey() == picture_.cacheKey()) return;
  picture_ = picture;
  repaintIfChanged();
}

void PictureBox::setBorderStyle(int style) {
  if (style == borderStyle_) return;
  borderStyle_ = style;
  repaintIfChanged();
}

// A handler may change a box and change it back before it returns (the
// preset buttons are switched off and the selected one on again); the box is
// repainted only if, once the handler is done, it differs from what is on the
// screen.
void PictureBox::repaintIfChanged() {
  if (checkPending_) return;
  checkPending_ = true;
  QMetaObject::invokeMethod(
      this,
      [this] {
        checkPending_ = false;
        if (picture_.cacheKey() != paintedKey_ || borderStyle_ != paintedBorder_ || !painted_) update();
      },
      Qt::QueuedConnection);
}

void PictureBox::paintEvent(QPaintEvent*) {
  ++paintCount_;
  painted_ = true;
  paintedKey_ = picture_.cacheKey();
  paintedBorder_ = borderStyle_;
  QPainter p(this);
  p.fillRect(rect(), palette().color(QPalette::Base));
  // A picture finer or coarser than the screen (a 1x picture on a screen of
  // 1.5 device pixels to the pixel) is resampled smoothly; one that matches
  // the screen is copied pixel for pixel.
  if (picture_.devicePixelRatio() != devicePixelRatioF()) p.setRenderHint(QPainter::SmoothPixmapTransform);
  if (!picture_.isNull()) p.drawPixmap(0, 0, picture_);
  if (borderStyle_ == 1) {
    // White: the note boxes and button faces have dark edges of their own,
    // on which a dark line would not show.  The frame is the outermost pixel
    // all round, at any device pixel ratio.
    const QColor white(255, 255, 255);
    const int w = width(), h = height();
    p.fillRect(0, 0, w, 1, white);
    p.fillRect(0, h - 1, w, 1, white);
    p.fillRect(0, 1, 1, h - 2, white);
    p.fillRect(w - 1, 1, 1, h - 2, white);
  }
}

int VbButton(Qt::MouseButton b) {
  switch (b) {
    case Qt::LeftButton: return 1;
    case Qt::RightButton: return 2;
    case Qt::MiddleButton: return 4;
    default: return 0;
  }
}

int VbShift(Qt::KeyboardModifiers m) {
  return (m & Qt::ShiftModifier ? 1 : 0) | (m & Qt::ControlModifier ? 2 : 0) |
         (m & Qt::AltModifier ? 4 : 0);
}

void PictureBox::mousePressEvent(QMouseEvent* e) {
  pressed_ |= e->button();
  if (onMouseDown)
    onMouseDown(VbButton(e->button()), VbShift(e->modifiers()), e->position().x(), e->position().y());
}

void PictureBox::mouseReleaseEvent(QMouseEvent* e) {
  // The box that saw the press gets the release (Qt grabs the mouse while a
  // button is held), so dragging off still releases the box.
  const bool wasPressed = pressed_ & e->button();
  pressed_ &= ~e->button();
  if (onMouseUp)
    onMouseUp(VbButton(e->button()), VbShift(e->modifiers()), e->position().x(), e->position().y());
  if (wasPressed && rect().contains(e->position().toPoint()) && onClick) onClick();
}

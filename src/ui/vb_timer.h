// SPDX-License-Identifier: GPL-3.0-or-later
// A timer with an Enabled switch and an Interval: switching it on counts the
// whole interval anew; it fires every interval until switched off.
#pragma once

#include <QObject>
#include <QTimer>
#include <functional>

class VbTimer : public QObject {
  Q_OBJECT
public:
  explicit VbTimer(QObject* parent = nullptr) : QObject(parent) {
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, [this] { if (onTimer) onTimer(); });
  }
  void setEnabled(bool on) {
    enabled_ = on;
    if (on) timer_.start(interval_);
    else timer_.stop();
  }
  bool enabled() const { return enabled_; }
  void setInterval(int ms) {
    interval_ = ms;
    if (enabled_) timer_.start(interval_);
  }
  int interval() const { return interval_; }
  int remainingTime() const { return timer_.remainingTime(); }
  std::function<void()> onTimer;

private:
  QTimer timer_;
  bool enabled_ = false;
  int interval_ = 1000;
};

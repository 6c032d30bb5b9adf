// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/artwork.h"

#include <QGuiApplication>
#include <QScreen>

namespace artwork {

qreal screenScale() {
  if (!qGuiApp) return 1.0;
  const QScreen* screen = QGuiApplication::primaryScreen();
  return screen ? screen->devicePixelRatio() : 1.0;
}

QString fineName(const QString& path) {
  const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
  const qsizetype dot = path.lastIndexOf(QLatin1Char('.'));
  if (dot <= slash + 1) return path + QStringLiteral("@2x");
  return path.left(dot) + QStringLiteral("@2x") + path.mid(dot);
}

QPixmap load(const QString& path, qreal scale) {
  QPixmap normal(path);
  if (scale <= 1.0 || normal.isNull()) return normal;
  QPixmap fine(fineName(path));
  if (fine.isNull() || fine.size() != normal.size() * 2) return normal;
  fine.setDevicePixelRatio(2.0);
  return fine;
}

}  // namespace artwork

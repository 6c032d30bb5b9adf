// SPDX-License-Identifier: GPL-3.0-or-later
// The pictures of the two windows, read from the program's folder at the
// resolution of the screen.  Beside every picture name.ext the folder holds
// name@2x.ext, the same drawing at twice the resolution; on a screen with
// more than one device pixel to the pixel that one is used, marked with a
// device pixel ratio of 2, so that the picture keeps its size in pixels
// (what the window lays out and reads back) while it is drawn finely.
#pragma once

#include <QPixmap>
#include <QString>

namespace artwork {

// The device pixel ratio the pictures are chosen for: the primary screen's,
// where both windows open; 1 without a screen.
qreal screenScale();

// name@2x.ext for name.ext (the folder and the extension kept).
QString fineName(const QString& path);

// The picture at path, or its @2x twin when scale > 1 and the twin is exactly
// twice its size.  A missing twin falls back to the picture itself.
QPixmap load(const QString& path, qreal scale);
inline QPixmap load(const QString& path) { return load(path, screenScale()); }

}  // namespace artwork

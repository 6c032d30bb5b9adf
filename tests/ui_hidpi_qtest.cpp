// SPDX-License-Identifier: GPL-3.0-or-later
// The windows on a screen of two device pixels to the pixel (QT_SCALE_FACTOR=2):
// every size and rectangle stays in pixels as on a normal screen, while what
// is drawn comes from the pictures at twice the resolution (name@2x beside
// every picture), not from the normal ones doubled.
#include <QtTest>

#include <QDir>
#include <QFile>
#include <QPointer>
#include <vector>

#include "app/module1.h"
#include "support/support.h"
#include "ui/artwork.h"
#include "ui/form1.h"
#include "ui/layout.h"
#include "ui/splash.h"

using namespace Module1;
using testing_support::DataDir;
using testing_support::FreshProgram;

namespace {

QString Data(const QString& name) { return QString::fromStdString(DataDir()) + name; }

QImage Rgb(const QImage& i) { return i.convertToFormat(QImage::Format_RGB32); }
QImage Rgb(const QPixmap& p) { return Rgb(p.toImage()); }

// The first pixel, as "x,y" from the corners given, where a and b differ
// over size; empty when they agree.
QString FirstDifference(const QImage& a, QPoint aAt, const QImage& b, QPoint bAt, QSize size) {
  for (int y = 0; y < size.height(); ++y)
    for (int x = 0; x < size.width(); ++x)
      if (a.pixel(aAt + QPoint(x, y)) != b.pixel(bAt + QPoint(x, y)))
        return QStringLiteral("%1,%2").arg(x).arg(y);
  return {};
}

// Share of the pixels of a 2x picture that differ from the 1x picture doubled
// pixel by pixel.
double ShareUnlikeDoubled(const QImage& fine, const QImage& normal) {
  const QImage doubled = normal.scaled(normal.size() * 2, Qt::IgnoreAspectRatio, Qt::FastTransformation);
  qint64 unlike = 0;
  for (int y = 0; y < fine.height(); ++y)
    for (int x = 0; x < fine.width(); ++x) {
      const QRgb a = fine.pixel(x, y), b = doubled.pixel(x, y);
      const int d = qAbs(qRed(a) - qRed(b)) + qAbs(qGreen(a) - qGreen(b)) + qAbs(qBlue(a) - qBlue(b));
      if (d > 24) ++unlike;
    }
  return double(unlike) / (double(fine.width()) * fine.height());
}

struct Placed {
  const char* name;
  PictureBox* box;
  layout::Rect rect;
};

std::vector<Placed> Displays(Form1& f) {
  std::vector<Placed> out;
  for (int i = 0; i < 11; ++i) out.push_back({"note box", f.Picture2[i], layout::kNoteBox[i]});
  for (int i = 0; i < 3; ++i) {
    out.push_back({"chord root", f.Pic_CnameH[i], layout::kChordRoot[i]});
    out.push_back({"chord quality", f.Pic_CName[i], layout::kChordQuality[i]});
  }
  for (int i = 0; i < 2; ++i) out.push_back({"preset", f.Pic_Preset[i], layout::kPreset[i]});
  out.push_back({"tone", f.Pic_TnInd, layout::kToneIndicator});
  out.push_back({"lamp", f.Pic_KeyInd[0], layout::kKeyLamp});
  for (int i = 0; i < 4; ++i) out.push_back({"recorder", f.Pic_RecBots[i], layout::kRecorderButton[i]});
  return out;
}

QRect ToQRect(const layout::Rect& r) { return QRect(r.left, r.top, r.width, r.height); }

// Each frame set member with the file it is read from.
std::vector<std::pair<PictureBox*, QString>> FrameFiles(Form1& f) {
  std::vector<std::pair<PictureBox*, QString>> out;
  for (int k = 0; k < 12; ++k) {
    out.push_back({f.PIC_IndSrc[k], QStringLiteral("note_%1.gif").arg(k, 2, 10, QLatin1Char('0'))});
    out.push_back({f.Pic_CNameHS[k], QStringLiteral("root_%1.jpg").arg(k, 2, 10, QLatin1Char('0'))});
  }
  for (int k = 0; k < 4; ++k) out.push_back({f.Pic_CNameLS[k], QStringLiteral("quality_%1.jpg").arg(k)});
  for (int k = 0; k < 2; ++k) {
    out.push_back({f.Pic_PreOn[k], QStringLiteral("preset_on_%1.jpg").arg(k)});
    out.push_back({f.Pic_PreOff[k], QStringLiteral("preset_off_%1.jpg").arg(k)});
    out.push_back({f.Pic_RecInd[k], QStringLiteral("recind_%1.jpg").arg(k)});
  }
  for (int k = 0; k < 6; ++k) out.push_back({f.Pic_ToneName[k], QStringLiteral("tone_%1.jpg").arg(k)});
  out.push_back({f.Pic_KeyInd[1], QStringLiteral("lamp_1.gif")});
  out.push_back({f.Pic_KeyInd[2], QStringLiteral("lamp_2.gif")});
  for (int k = 1; k < 4; ++k) out.push_back({f.Pic_RecBots[k], QStringLiteral("recbot_%1.jpg").arg(k)});
  return out;
}

}  // namespace

class HighDpiTest : public QObject {
  Q_OBJECT

private slots:
  void everyPictureHasATwiceAsFineTwin();
  void choosingThePicture();
  void framesComeFromTheFinePictures();
  void mainWindowDrawnFromTheFinePictures();
  void pressedLookIsOnePixelAtTwoDevicePixels();
  void splashDrawnFromTheFinePicture();
};

// The generator draws a twin for each picture of the two windows, drawn anew
// (not the normal picture doubled).
void HighDpiTest::everyPictureHasATwiceAsFineTwin() {
  const QDir dir(Data(QString()));
  const QStringList pictures = dir.entryList({"*.jpg", "*.gif"}, QDir::Files);
  int normals = 0;
  for (const QString& name : pictures) {
    if (name.contains(QLatin1Char('@'))) continue;
    ++normals;
    const QImage normal(dir.filePath(name));
    const QImage fine(artwork::fineName(dir.filePath(name)));
    QVERIFY2(!normal.isNull(), qPrintable(name));
    QVERIFY2(!fine.isNull(), qPrintable(name + " has no @2x twin"));
    QCOMPARE(fine.size(), normal.size() * 2);
    if (name == QLatin1String("recind_0.jpg")) continue;   // same bytes as recbot_0
    const double unlike = ShareUnlikeDoubled(Rgb(fine), Rgb(normal));
    QVERIFY2(unlike > 0.05, qPrintable(QStringLiteral("%1@2x is the 1x doubled (%2 of pixels differ)")
                                           .arg(name).arg(unlike)));
  }
  QVERIFY(normals >= 47);   // background, splash and all the frames
}

void HighDpiTest::choosingThePicture() {
  QCOMPARE(artwork::fineName("/a/b.c/note_00.gif"), QStringLiteral("/a/b.c/note_00@2x.gif"));
  QCOMPARE(artwork::fineName("/a/b.c/plain"), QStringLiteral("/a/b.c/plain@2x"));
  QCOMPARE(artwork::screenScale(), 2.0);

  const QString note = Data("note_04.gif");
  // Normal screen: the normal picture, as read from its file.
  const QPixmap one = artwork::load(note, 1.0);
  QCOMPARE(one.devicePixelRatio(), 1.0);
  QCOMPARE(one.size(), QSize(33, 33));
  QCOMPARE(Rgb(one), Rgb(QImage(note)));
  // Finer screens (1.5 too): the twin, measuring 33 x 33 pixels still.
  for (qreal scale : {2.0, 1.5}) {
    const QPixmap fine = artwork::load(note, scale);
    QCOMPARE(fine.devicePixelRatio(), 2.0);
    QCOMPARE(fine.size(), QSize(66, 66));
    QCOMPARE(fine.deviceIndependentSize(), QSizeF(33, 33));
    QCOMPARE(Rgb(fine), Rgb(QImage(artwork::fineName(note))));
  }

  // No twin, or a twin that is not exactly twice the size: the normal one.
  testing_support::ScratchDir dir;
  const QString alone = QString::fromStdString(dir.path) + "alone.png";
  const QString odd = QString::fromStdString(dir.path) + "odd.png";
  QImage small(10, 6, QImage::Format_RGB32);
  small.fill(Qt::red);
  QVERIFY(small.save(alone));
  QVERIFY(small.save(odd));
  QImage wrong(21, 12, QImage::Format_RGB32);
  wrong.fill(Qt::blue);
  QVERIFY(wrong.save(artwork::fineName(odd)));
  for (const QString& path : {alone, odd}) {
    const QPixmap p = artwork::load(path, 2.0);
    QCOMPARE(p.devicePixelRatio(), 1.0);
    QCOMPARE(p.size(), QSize(10, 6));
    QCOMPARE(QColor(p.toImage().pixel(0, 0)), QColor(Qt::red));
  }
  QVERIFY(artwork::load(QString::fromStdString(dir.path) + "missing.png", 2.0).isNull());
}

void HighDpiTest::framesComeFromTheFinePictures() {
  FreshProgram p;
  QVERIFY(Main());
  Form1& f = form1();
  for (const auto& [box, name] : FrameFiles(f)) {
    const QPixmap& pic = box->picture();
    QVERIFY2(pic.devicePixelRatio() == 2.0, qPrintable(name));
    QCOMPARE(pic.deviceIndependentSize().toSize(), QImage(Data(name)).size());
    QVERIFY2(Rgb(pic) == Rgb(QImage(artwork::fineName(Data(name)))), qPrintable(name));
  }
  // What the program reads back about its pictures and controls is in
  // pixels, as on a normal screen.
  QCOMPARE(f.background().deviceIndependentSize(), QSizeF(345, 290));
  QCOMPARE(f.Pic_RecBots[0]->picture().cacheKey(), f.Pic_RecInd[0]->picture().cacheKey());
  QCOMPARE(f.Pic_KeyInd[0]->picture().cacheKey(), f.Pic_KeyInd[1]->picture().cacheKey());
}

void HighDpiTest::mainWindowDrawnFromTheFinePictures() {
  FreshProgram p;
  QVERIFY(Main());
  Form1& f = form1();
  QVERIFY(QTest::qWaitForWindowExposed(&f));
  QCOMPARE(f.devicePixelRatioF(), 2.0);
  QCOMPARE(f.size(), QSize(345, 288));
  QCOMPARE(f.pos(), QPoint(0, 0));
  for (const Placed& d : Displays(f)) QVERIFY2(d.box->geometry() == ToQRect(d.rect), d.name);

  const QPixmap grabbed = f.grab();
  QCOMPARE(grabbed.size(), QSize(690, 576));
  QCOMPARE(grabbed.deviceIndependentSize(), QSizeF(345, 288));
  const QImage shot = Rgb(grabbed);

  // Outside the displays: the fine background, device pixel for device pixel.
  const QImage bg = Rgb(QImage(Data("background@2x.jpg")));
  QCOMPARE(bg.size(), QSize(690, 580));
  QRegion covered;
  for (const Placed& d : Displays(f)) covered += ToQRect(d.rect);
  int compared = 0;
  for (int y = 0; y < 576; ++y)
    for (int x = 0; x < 690; ++x) {
      if (covered.contains(QPoint(x / 2, y / 2))) continue;
      if (shot.pixel(x, y) != bg.pixel(x, y))
        QFAIL(qPrintable(QStringLiteral("background differs at device pixel %1,%2").arg(x).arg(y)));
      ++compared;
    }
  QVERIFY(compared > 690 * 576 / 2);

  // Each display: its fine frame whole, where no other display covers it.
  for (const Placed& d : Displays(f)) {
    const QImage want = Rgb(d.box->picture());
    QCOMPARE(want.size(), QSize(d.rect.width, d.rect.height) * 2);
    const QRect visible = d.box->visibleRegion().boundingRect();
    const QPoint at(2 * (d.rect.left + visible.left()), 2 * (d.rect.top + visible.top()));
    const QString diff = FirstDifference(shot, at, want, visible.topLeft() * 2, visible.size() * 2);
    QVERIFY2(diff.isEmpty(), qPrintable(QStringLiteral("%1 differs at %2").arg(d.name, diff)));
  }

  // And that is not the normal window doubled.
  QImage normal(Data("background.jpg"));
  normal = Rgb(normal).copy(0, 0, 345, 288);
  QVERIFY(ShareUnlikeDoubled(shot, normal) > 0.2);
}

void HighDpiTest::pressedLookIsOnePixelAtTwoDevicePixels() {
  FreshProgram p;
  QVERIFY(Main());
  Form1& f = form1();
  PictureBox& box = *f.Picture2[4];
  box.setBorderStyle(1);
  const QImage shot = Rgb(box.grab());
  QCOMPARE(shot.size(), QSize(66, 66));
  const QImage pic = Rgb(box.picture());
  const QRgb white = qRgb(255, 255, 255);
  for (int i = 0; i < 66; ++i)
    for (int edge = 0; edge < 2; ++edge) {
      QCOMPARE(shot.pixel(i, edge), white);
      QCOMPARE(shot.pixel(i, 65 - edge), white);
      QCOMPARE(shot.pixel(edge, i), white);
      QCOMPARE(shot.pixel(65 - edge, i), white);
    }
  // Inside the frame the picture, untouched.
  QVERIFY(FirstDifference(shot, {2, 2}, pic, {2, 2}, {62, 62}).isEmpty());
}

void HighDpiTest::splashDrawnFromTheFinePicture() {
  FreshProgram p;
  QImage shot;
  QSize size, grabbedSize;
  qreal pictureRatio = 0;
  p.backend.onCall = [&](const platform::Call& c) {
    if (c.fn != "sndPlaySoundA") return;
    FrmSplash* s = frmSplash();
    if (!s) return;
    size = s->size();
    pictureRatio = s->picture().devicePixelRatio();
    const QPixmap g = s->grab();
    grabbedSize = g.size();
    shot = Rgb(g);
  };
  QVERIFY(Main());
  p.backend.onCall = nullptr;
  QCOMPARE(size, QSize(344, 147));
  QCOMPARE(pictureRatio, 2.0);
  QCOMPARE(grabbedSize, QSize(688, 294));
  const QImage want = Rgb(QImage(Data("splash@2x.jpg")));
  QVERIFY(FirstDifference(shot, {0, 0}, want, {0, 0}, {688, 294}).isEmpty());
  QVERIFY(ShareUnlikeDoubled(shot, Rgb(QImage(Data("splash.jpg")))) > 0.05);
}

int main(int argc, char** argv) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  qputenv("QT_SCALE_FACTOR", "2");
  QApplication app(argc, argv);
  HighDpiTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "ui_hidpi_qtest.moc"

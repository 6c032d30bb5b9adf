// SPDX-License-Identifier: GPL-3.0-or-later
// A long random run on the real main window: key presses and releases over
// the whole key map and mouse presses, moves and releases with any button on
// the note boxes, with the recorder's device, message boxes and Save dialog
// answered by the test backend.  After every event the program's state and
// displays are compared with a model of the instrument kept here, apart from
// the program: the held frets, the preset and tone, the note-on sent, the
// name on every note box and which boxes look pressed.
//
// PLINKORA_SOAK_SEED repeats a run (the seed is printed at the start and with
// any failure); PLINKORA_SOAK_EVENTS changes its length (100000).
#include <QApplication>
#include <QKeyEvent>
#include <QtTest>

#include <array>
#include <cstdint>
#include <memory>
#include <random>
#include <set>

#include "app/module1.h"
#include "support/support.h"
#include "ui/form1.h"

using namespace Module1;

namespace {

// ---- the instrument as its player knows it ----

struct CellOf { int row, string; };
constexpr CellOf kCell[11] = {{0, 0}, {0, 1}, {0, 2}, {1, 0}, {1, 1}, {1, 2},
                              {2, 0}, {2, 1}, {2, 2}, {2, 3}, {1, 3}};
constexpr int kTable[2][3][4] = {
    {{69, 60, 64, 0}, {67, 60, 64, 69}, {69, 62, 66, 72}},
    {{67, 61, 64, 0}, {67, 62, 67, 69}, {69, 62, 66, 71}},
};
// Note boxes, left and top in the window; each is 33 pixels square.
constexpr QPoint kBoxAt[11] = {{136, 216}, {176, 216}, {216, 216}, {136, 176}, {176, 176},
                               {216, 176}, {136, 136}, {176, 136}, {216, 136}, {256, 136},
                               {256, 216}};
// Points of the grid that belong to no box: between boxes, and the empty
// fourth place of the middle line.
constexpr QPoint kGaps[] = {{172, 150}, {212, 190}, {150, 172}, {272, 192}, {252, 230}};

constexpr uint32_t NoteOnMsg(int note) { return 0x7F0090u | (static_cast<uint32_t>(note) << 8); }
constexpr uint32_t ProgramMsg(int tone) { return static_cast<uint32_t>(tone) * 256 + 192; }

struct Model {
  int preset = 0;
  int tone = 116;
  std::array<bool, 13> fret{};
  std::array<int, 11> border{};
  std::array<int, 4> recBorder{};
  int loop = 0;

  int heldFret() const {
    for (int n = 12; n >= 1; --n)
      if (fret[n]) return n;
    return 0;
  }
  int base(int box) const { return kTable[preset][kCell[box].row][kCell[box].string]; }
  uint32_t strike(int box) const {
    return NoteOnMsg(base(box) + 12 + heldFret() - (tone == 116 ? 0 : 12));
  }
  int nameOn(int box) const { return (base(box) + heldFret()) % 12; }
};

// What a key stands for on the instrument.
struct KeyRole {
  enum Kind { None, Strike, Fret, ToneDown, ToneUp, Preset, Loop, Recorder } kind = None;
  int n = 0;   // box, fret or recorder button
};

struct KeyEntry {
  int key;
  bool keypad;
  KeyRole role;
};

// KeyMap() lists the digits 1-9 first, on the keypad and the digit row.
constexpr std::size_t kDigitKeys = 18;

std::vector<KeyEntry> KeyMap() {
  std::vector<KeyEntry> keys;
  for (int d = 1; d <= 9; ++d) {
    keys.push_back({Qt::Key_0 + d, true, {KeyRole::Strike, d - 1}});
    keys.push_back({Qt::Key_0 + d, false, {KeyRole::Strike, d - 1}});
  }
  keys.push_back({Qt::Key_0, true, {}});
  keys.push_back({Qt::Key_0, false, {}});
  keys.push_back({Qt::Key_Plus, true, {KeyRole::Strike, 9}});
  keys.push_back({Qt::Key_Plus, false, {}});   // the main block's '=' key
  keys.push_back({Qt::Key_Enter, true, {KeyRole::Strike, 10}});
  keys.push_back({Qt::Key_Return, false, {KeyRole::Strike, 10}});
  keys.push_back({Qt::Key_Comma, true, {KeyRole::Strike, 10}});   // keypad separator
  for (int f = 1; f <= 12; ++f) keys.push_back({Qt::Key_F1 + f - 1, false, {KeyRole::Fret, f}});
  for (bool keypad : {false, true}) {
    keys.push_back({Qt::Key_Down, keypad, {KeyRole::ToneDown}});
    keys.push_back({Qt::Key_Up, keypad, {KeyRole::ToneUp}});
    keys.push_back({Qt::Key_Right, keypad, {KeyRole::Preset}});
    keys.push_back({Qt::Key_Left, keypad, {KeyRole::Loop}});
  }
  const int recorder[4] = {Qt::Key_Z, Qt::Key_X, Qt::Key_C, Qt::Key_V};
  for (int b = 0; b < 4; ++b) keys.push_back({recorder[b], false, {KeyRole::Recorder, b}});
  for (int k : {Qt::Key_A, Qt::Key_Space, Qt::Key_Escape, Qt::Key_Minus, Qt::Key_Shift})
    keys.push_back({k, false, {}});
  keys.push_back({Qt::Key_Minus, true, {}});
  return keys;
}

int NextDown(int tone) { return tone == 116 ? 24 : tone == 24 ? 32 : 116; }
int NextUp(int tone) { return tone == 116 ? 32 : tone == 32 ? 24 : 116; }

bool Shows(const PictureBox* box, const PictureBox* frame) {
  return box->picture().cacheKey() == frame->picture().cacheKey();
}

int NameOn(int box) {
  Form1& f = form1();
  for (int k = 0; k < 12; ++k)
    if (Shows(f.Picture2[box], f.PIC_IndSrc[k])) return k;
  return -1;
}

int BoxAt(QPoint p) {
  for (int b = 0; b < 11; ++b)
    if (QRect(kBoxAt[b], QSize(33, 33)).contains(p)) return b;
  return -1;
}

}  // namespace

class Soak : public QObject {
  Q_OBJECT
  std::unique_ptr<testing_support::FreshProgram> program;
  platform::TestBackend& backend() { return program->backend; }

private slots:
  void init() {
    program = std::make_unique<testing_support::FreshProgram>();
    QVERIFY(Main());
    QVERIFY(QTest::qWaitForWindowExposed(&form1()));
    backend().clear();
  }
  void cleanup() { program.reset(); }

  void randomKeysAndMouseKeepStateAndDisplaysRight() {
    const uint64_t seed = qEnvironmentVariableIsSet("PLINKORA_SOAK_SEED")
                              ? qEnvironmentVariable("PLINKORA_SOAK_SEED").toULongLong()
                              : std::random_device{}();
    const int events = qEnvironmentVariableIsSet("PLINKORA_SOAK_EVENTS")
                           ? qEnvironmentVariableIntValue("PLINKORA_SOAK_EVENTS")
                           : 100000;
    qInfo("soak seed: %llu (PLINKORA_SOAK_SEED=%llu repeats this run)",
          static_cast<unsigned long long>(seed), static_cast<unsigned long long>(seed));
    std::mt19937_64 rng(seed);
    auto chance = [&](int percent) { return static_cast<int>(rng() % 100) < percent; };

    // The recorder's device fails now and then; questions, the Save dialog
    // and message boxes are answered at random, never shown.
    backend().mciScript = [&](const std::string&) { return chance(10) ? 263u : 0u; };
    backend().onCall = [&](const platform::Call& c) {
      if (c.fn != "MsgBox" && c.fn != "GetSaveFileNameA") return;
      if (backend().msgBoxAnswers.empty()) backend().msgBoxAnswers.push_back(chance(50) ? vbYes : vbNo);
      if (backend().saveDialogAnswers.empty())
        backend().saveDialogAnswers.push_back(chance(50) ? "" : "/saved/take.wav");
    };
    backend().msgBoxAnswers.push_back(vbYes);

    Form1& f = form1();
    QWindow* window = f.windowHandle();
    const std::vector<KeyEntry> keys = KeyMap();
    std::set<std::pair<int, bool>> keysDown;
    Model m;
    std::set<Qt::MouseButton> buttonsHeld;
    int grab = -1;   // the box that took the first press of the held buttons

    auto randomPoint = [&] {
      if (chance(85)) return kBoxAt[rng() % 11] + QPoint(int(rng() % 33), int(rng() % 33));
      return kGaps[rng() % std::size(kGaps)];
    };
    auto randomModifiers = [&] {
      Qt::KeyboardModifiers mods;
      if (chance(20)) mods |= Qt::ShiftModifier;
      if (chance(10)) mods |= Qt::ControlModifier;
      if (chance(10)) mods |= Qt::AltModifier;
      return mods;
    };

    QString lastEvent;
    for (int step = 0; step < events; ++step) {
      std::vector<uint32_t> expectMidi;
      backend().clear();

      if (chance(55)) {
        // ---- a key ----
        // The recorder keys and the tone keys come up less often.
        const KeyEntry* k = &keys[rng() % keys.size()];
        if ((k->role.kind == KeyRole::Recorder || k->role.kind == KeyRole::ToneDown ||
             k->role.kind == KeyRole::ToneUp) && chance(70))
          k = &keys[rng() % kDigitKeys];   // a digit instead
        const auto id = std::make_pair(k->key, k->keypad);
        const bool held = keysDown.count(id) > 0;
        const bool press = held ? chance(30) : chance(85);   // a repeat, or a stray release
        Qt::KeyboardModifiers mods = randomModifiers();
        if (k->keypad) mods |= Qt::KeypadModifier;
        QKeyEvent e(press ? QEvent::KeyPress : QEvent::KeyRelease, k->key, mods, QString(),
                    press && held);
        lastEvent = QStringLiteral("key %1 0x%2%3 mods 0x%4")
                        .arg(press ? "down" : "up")
                        .arg(k->key, 0, 16)
                        .arg(k->keypad ? " keypad" : "")
                        .arg(int(mods), 0, 16);
        if (press) keysDown.insert(id);
        else keysDown.erase(id);

        const KeyRole r = k->role;
        if (press) {
          switch (r.kind) {
            case KeyRole::Strike: m.border[r.n] = 1; expectMidi = {m.strike(r.n)}; break;
            case KeyRole::Fret: m.fret[r.n] = true; break;
            case KeyRole::ToneDown: m.tone = NextDown(m.tone); expectMidi = {ProgramMsg(m.tone)}; break;
            case KeyRole::ToneUp: m.tone = NextUp(m.tone); expectMidi = {ProgramMsg(m.tone)}; break;
            case KeyRole::Preset: m.preset ^= 1; break;
            case KeyRole::Loop: m.loop ^= 1; break;
            case KeyRole::Recorder: m.recBorder[r.n] = 1; break;
            case KeyRole::None: break;
          }
        } else {
          switch (r.kind) {
            case KeyRole::Strike: m.border[r.n] = 0; break;
            case KeyRole::Fret: m.fret[r.n] = false; break;
            case KeyRole::Recorder: m.recBorder[r.n] = 0; break;
            default: break;
          }
        }
        QCoreApplication::sendEvent(&f, &e);
        if (press && !Shows(f.Pic_KeyInd[0], f.Pic_KeyInd[1]))
          QFAIL(qPrintable(QStringLiteral("seed %1, event %2 (%3): the key lamp stays lit")
                               .arg(seed).arg(step).arg(lastEvent)));
      } else {
        // ---- the mouse ----
        const QPoint p = randomPoint();
        enum { Move, Press, Release } action = Move;
        const int what = int(rng() % 100);
        if (what >= 65) action = Release;
        else if (what >= 30) action = Press;
        if (action == Press && buttonsHeld.size() == 3) action = Release;
        if (action == Release && buttonsHeld.empty()) action = Press;
        const Qt::KeyboardModifiers mods = randomModifiers();
        if (action == Move) {
          QTest::mouseMove(window, p);
          lastEvent = QStringLiteral("mouse move to %1,%2").arg(p.x()).arg(p.y());
        } else if (action == Press) {
          std::vector<Qt::MouseButton> free;
          for (Qt::MouseButton b : {Qt::LeftButton, Qt::RightButton, Qt::MiddleButton})
            if (!buttonsHeld.count(b)) free.push_back(b);
          const Qt::MouseButton b = free[rng() % free.size()];
          const int target = buttonsHeld.empty() ? BoxAt(p) : grab;
          if (buttonsHeld.empty()) grab = target;
          buttonsHeld.insert(b);
          if (target >= 0) {
            m.border[target] = 1;
            expectMidi = {m.strike(target)};
          }
          QTest::mousePress(window, b, mods, p);
          lastEvent = QStringLiteral("mouse press %1 at %2,%3").arg(int(b)).arg(p.x()).arg(p.y());
        } else {
          auto it = buttonsHeld.begin();
          std::advance(it, rng() % buttonsHeld.size());
          const Qt::MouseButton b = *it;
          buttonsHeld.erase(it);
          if (grab >= 0) m.border[grab] = 0;
          if (buttonsHeld.empty()) grab = -1;
          QTest::mouseRelease(window, b, mods, p);
          lastEvent = QStringLiteral("mouse release %1 at %2,%3").arg(int(b)).arg(p.x()).arg(p.y());
        }
      }

      // ---- the program against the model ----
      auto fail = [&](const QString& what) {
        return QStringLiteral("seed %1, event %2 (%3): %4").arg(seed).arg(step).arg(lastEvent, what);
      };
      if (HeldFret != m.heldFret())
        QFAIL(qPrintable(fail(QStringLiteral("HeldFret %1, the highest fret held is %2")
                                  .arg(HeldFret).arg(m.heldFret()))));
      if (PresetNo != m.preset || ToneNo != m.tone || LoopOn != m.loop)
        QFAIL(qPrintable(fail(QStringLiteral("preset %1 tone %2 loop %3, expected %4 %5 %6")
                                  .arg(PresetNo).arg(ToneNo).arg(LoopOn)
                                  .arg(m.preset).arg(m.tone).arg(m.loop))));
      if (backend().midiMessages() != expectMidi)
        QFAIL(qPrintable(fail(QStringLiteral("%1 MIDI messages, first 0x%2; expected %3, first 0x%4")
                                  .arg(backend().midiMessages().size())
                                  .arg(backend().midiMessages().empty() ? 0 : backend().midiMessages()[0], 0, 16)
                                  .arg(expectMidi.size())
                                  .arg(expectMidi.empty() ? 0 : expectMidi[0], 0, 16))));
      for (int b = 0; b < 11; ++b) {
        if (NameOn(b) != m.nameOn(b))
          QFAIL(qPrintable(fail(QStringLiteral("box %1 shows name %2, sounds %3")
                                    .arg(b).arg(NameOn(b)).arg(m.nameOn(b)))));
        if (f.Picture2[b]->borderStyle() != m.border[b])
          QFAIL(qPrintable(fail(QStringLiteral("box %1 border %2, expected %3")
                                    .arg(b).arg(f.Picture2[b]->borderStyle()).arg(m.border[b]))));
      }
      for (int b = 0; b < 4; ++b)
        if (f.Pic_RecBots[b]->borderStyle() != m.recBorder[b])
          QFAIL(qPrintable(fail(QStringLiteral("recorder button %1 border %2, expected %3")
                                    .arg(b).arg(f.Pic_RecBots[b]->borderStyle()).arg(m.recBorder[b]))));
      if ((Recording != 0 && Recording != 1) || (HasTake != 0 && HasTake != 1))
        QFAIL(qPrintable(fail(QStringLiteral("recorder flags %1 %2").arg(Recording).arg(HasTake))));
    }
    QVERIFY(f.isVisible());
  }
};

int main(int argc, char** argv) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  Soak t;
  return QTest::qExec(&t, argc, argv);
}

#include "soak_qtest.moc"

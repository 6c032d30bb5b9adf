// SPDX-License-Identifier: GPL-3.0-or-later
// The real Save dialog: Qt's file dialog driven as a player would, by typing
// a name into it while it runs.
#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>
#include <QtTest>
#include <fstream>
#include <functional>

#include "platform/real_backend.h"
#include "platform/desktop/real_dialog.h"
#include "support/support.h"

namespace {

const char kFilter[] = "Waveファイル(*.WAV)\0*.wav\0全てのﾌｧｲﾙ(*.*)\0*.*\0";

OPENFILENAME Request(const std::string& initialDir) {
  OPENFILENAME ofn;
  ofn.lStructSize = 76;
  ofn.lpstrFilter.assign(kFilter, sizeof kFilter - 1);
  ofn.nFilterIndex = 1;
  ofn.lpstrFile.assign(256, '\0');
  ofn.nMaxFile = 256;
  ofn.lpstrFileTitle.assign(256, '\0');
  ofn.nMaxFileTitle = 256;
  ofn.lpstrInitialDir = initialDir;
  ofn.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;
  return ofn;
}

// Runs the dialog; `player` is called once with the dialog while it is open
// and must end it.  Any message box that pops up over the dialog is counted
// and dismissed.
struct Session {
  BOOL result = 0;
  int questions = 0;
  QStringList texts;   // of the message boxes, in order
  bool sawDialog = false;
};

Session Run(OPENFILENAME& ofn, const std::function<void(QFileDialog*)>& player,
            const std::function<BOOL(OPENFILENAME*)>& show = platform::RunSaveFileDialog) {
  Session s;
  // Boxes have a timer of their own: a timer does not fire again while its
  // handler runs, and a box may come up inside the player's call.
  QTimer boxes;
  boxes.setInterval(10);
  QObject::connect(&boxes, &QTimer::timeout, [&] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      ++s.questions;
      s.texts << box->text();
      box->done(QMessageBox::Yes);
    }
  });
  boxes.start();
  QTimer poll;
  poll.setInterval(10);
  QObject::connect(&poll, &QTimer::timeout, [&] {
    auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    if (dialog && !s.sawDialog) {
      s.sawDialog = true;
      player(dialog);
    }
  });
  poll.start();
  // Should the dialog never show, do not hang the run.
  QTimer::singleShot(10000, [] {
    if (auto* w = QApplication::activeModalWidget()) w->close();
  });
  s.result = show(&ofn);
  return s;
}

void Type(QFileDialog* dialog, const QString& name) {
  auto* edit = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
  QVERIFY(edit);
  edit->setText(name);
  QMetaObject::invokeMethod(dialog, "accept");
}

std::string Chosen(const OPENFILENAME& ofn) { return ofn.lpstrFile.substr(0, ofn.lpstrFile.find('\0')); }

}  // namespace

class SaveDialog : public QObject {
  Q_OBJECT

private slots:
  void showsTheWaveAndAllFilesTypesAndOpensInTheGivenFolder() {
    testing_support::ScratchDir dir;
    OPENFILENAME ofn = Request(dir.path);
    QFileDialog::AcceptMode mode{};
    bool confirmsOverwrite = true;
    QString suffix = QStringLiteral("?"), folder;
    QStringList filters, shown;
    int current = -1;
    Session s = Run(ofn, [&](QFileDialog* d) {
      mode = d->acceptMode();
      confirmsOverwrite = !d->testOption(QFileDialog::DontConfirmOverwrite);
      suffix = d->defaultSuffix();
      folder = QDir(d->directory()).canonicalPath();
      filters = d->nameFilters();
      if (auto* combo = d->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"))) {
        for (int i = 0; i < combo->count(); ++i) shown << combo->itemText(i);
        current = combo->currentIndex();
      }
      d->reject();
    });
    QVERIFY(s.sawDialog);
    QCOMPARE(s.result, 0);
    QCOMPARE(ofn.lpstrFile, std::string(256, '\0'));
    QCOMPARE(mode, QFileDialog::AcceptSave);
    QVERIFY(!confirmsOverwrite);
    QVERIFY(suffix.isEmpty());
    QCOMPARE(folder, QDir(QString::fromStdString(dir.path)).canonicalPath());
    QCOMPARE(filters, (QStringList{QStringLiteral("Waveファイル(*.WAV) (*.wav)"),
                                   QStringLiteral("全てのﾌｧｲﾙ(*.*) (*.*)")}));
    QCOMPARE(shown, (QStringList{QStringLiteral("Waveファイル(*.WAV)"), QStringLiteral("全てのﾌｧｲﾙ(*.*)")}));
    QCOMPARE(current, 0);
  }

  void theSecondTypeCanBePreselectedAndIsReported() {
    testing_support::ScratchDir dir;
    OPENFILENAME ofn = Request(dir.path);
    ofn.nFilterIndex = 2;
    int current = -1;
    Session s = Run(ofn, [&](QFileDialog* d) {
      if (auto* combo = d->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"))) current = combo->currentIndex();
      Type(d, QStringLiteral("x"));
    });
    QCOMPARE(s.result, 1);
    QCOMPARE(current, 1);
    QCOMPARE(ofn.nFilterIndex, 2u);
  }

  void acceptsANewNameAsTypedWithoutAddingAnExtension() {
    testing_support::ScratchDir scratch;
    const std::string folder = scratch.path + "録音 フォルダ/";
    QVERIFY(QDir().mkpath(QString::fromStdString(folder)));
    OPENFILENAME ofn = Request(folder);
    Session s = Run(ofn, [](QFileDialog* d) { Type(d, QStringLiteral("新しい take")); });
    QCOMPARE(s.result, 1);
    QCOMPARE(Chosen(ofn), folder + "新しい take");
    QCOMPARE(ofn.lpstrFile.size(), std::size_t{256});
    QCOMPARE(ofn.lpstrFileTitle.substr(0, ofn.lpstrFileTitle.find('\0')), std::string("新しい take"));
    QCOMPARE(ofn.nFilterIndex, 1u);
  }

  void anExistingFileIsChosenWithoutAQuestion() {
    testing_support::ScratchDir dir;
    std::ofstream(dir.path + "old.wav") << "old";
    OPENFILENAME ofn = Request(dir.path);
    Session s = Run(ofn, [](QFileDialog* d) { Type(d, QStringLiteral("old.wav")); });
    QCOMPARE(s.result, 1);
    QCOMPARE(s.questions, 0);
    QCOMPARE(Chosen(ofn), dir.path + "old.wav");
  }

  void theRealBackendShowsItOverTheOwnerWindow() {
    testing_support::ScratchDir dir;
    QWidget owner;
    owner.show();
    OPENFILENAME ofn = Request(dir.path);
    ofn.hwndOwner = static_cast<HWND>(owner.winId());
    QWidget* parent = nullptr;
    platform::RealBackend real;
    Session s = Run(
        ofn,
        [&](QFileDialog* d) {
          parent = d->parentWidget();
          Type(d, QStringLiteral("owned.wav"));
        },
        [&](OPENFILENAME* r) { return real.GetSaveFileNameA(r); });
    QCOMPARE(s.result, 1);
    QCOMPARE(parent, &owner);
    QCOMPARE(Chosen(ofn), dir.path + "owned.wav");
  }

  // The refusal comes from inside accept(): the warning's own loop runs and
  // is dismissed before Type() returns, with the dialog still open.
  void aNameInAFolderThatDoesNotExistIsRefusedAndTheDialogStaysOpen() {
    testing_support::ScratchDir dir;
    std::ofstream(dir.path + "plain file") << "x";
    OPENFILENAME ofn = Request(dir.path);
    QStringList openAfter;
    Session s = Run(ofn, [&](QFileDialog* d) {
      for (const char* name : {"no such folder/take.wav", "plain file/take.wav"}) {
        Type(d, QString::fromUtf8(name));
        if (d->isVisible() && QApplication::activeModalWidget() == d) openAfter << QString::fromUtf8(name);
      }
      Type(d, QStringLiteral("take.wav"));
    });
    QCOMPARE(openAfter, (QStringList{QStringLiteral("no such folder/take.wav"),
                                     QStringLiteral("plain file/take.wav")}));
    QCOMPARE(s.questions, 2);
    QVERIFY2(s.texts[0].contains(QString::fromStdString(dir.path + "no such folder")), qPrintable(s.texts[0]));
    QVERIFY2(s.texts[0].contains(QStringLiteral("not found")), qPrintable(s.texts[0]));
    QVERIFY2(s.texts[1].contains(QString::fromStdString(dir.path + "plain file")), qPrintable(s.texts[1]));
    QCOMPARE(s.result, 1);
    QCOMPARE(Chosen(ofn), dir.path + "take.wav");
    QVERIFY(!QFileInfo::exists(QString::fromStdString(dir.path + "no such folder")));
  }

  void withoutPathMustExistSuchANameComesBack() {
    testing_support::ScratchDir dir;
    OPENFILENAME ofn = Request(dir.path);
    ofn.Flags &= ~OFN_PATHMUSTEXIST;
    Session s = Run(ofn, [](QFileDialog* d) { Type(d, QStringLiteral("no such folder/take.wav")); });
    QCOMPARE(s.questions, 0);
    QCOMPARE(s.result, 1);
    QCOMPARE(Chosen(ofn), dir.path + "no such folder/take.wav");
  }

  void aPathLongerThanTheBufferFailsInsteadOfBeingCut() {
    testing_support::ScratchDir dir;
    OPENFILENAME ofn = Request(dir.path);
    ofn.lpstrFile.assign(16, '\0');
    ofn.nMaxFile = 16;
    Session s = Run(ofn, [](QFileDialog* d) { Type(d, QStringLiteral("a-rather-long-name.wav")); });
    QVERIFY(s.sawDialog);
    QCOMPARE(s.result, 0);
    QCOMPARE(ofn.lpstrFile, std::string(16, '\0'));
  }
};

QTEST_MAIN(SaveDialog)
#include "recorder_dialog_qtest.moc"

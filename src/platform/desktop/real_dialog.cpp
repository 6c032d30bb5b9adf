// SPDX-License-Identifier: GPL-3.0-or-later
// The real backend's Save dialog: Qt's own file dialog in save mode.
//
// Qt's dialog rather than the desktop's, so that what the program asks for
// holds everywhere: no overwrite question unless OFN_OVERWRITEPROMPT is given,
// no extension added to a typed name, and the file types shown by their own
// descriptions.  A save dialog always accepts a new name: OFN_FILEMUSTEXIST,
// which only makes sense for opening, is not applied.  OFN_PATHMUSTEXIST is:
// a name in a folder that does not exist is refused by the dialog itself,
// which says so and stays open.
#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QStringList>
#include <QWidget>
#include <cstring>

#include "platform/desktop/real_dialog.h"

#include "platform/real_backend.h"

namespace platform {
namespace {

// The description/pattern pairs of an OPENFILENAME filter as Qt name filters.
// "Waveファイル(*.WAV)" with "*.wav" becomes "Waveファイル(*.WAV) (*.wav)";
// the dialog hides the part in the last brackets and shows the description.
struct NameFilterList {
  QStringList filters;        // as handed to the dialog
  QStringList descriptions;   // as the dialog shows them
};

NameFilterList NameFilters(const std::string& filter) {
  QStringList texts;
  std::size_t start = 0;
  while (start < filter.size()) {
    const std::size_t end = filter.find('\0', start);
    if (end == start) break;   // the closing empty text
    texts << QString::fromStdString(filter.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  NameFilterList list;
  for (int i = 0; i + 1 < texts.size(); i += 2) {
    QString patterns = texts[i + 1];
    patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
    list.filters << texts[i] + QStringLiteral(" (") + patterns.simplified() + QLatin1Char(')');
    list.descriptions << texts[i].simplified();
  }
  return list;
}

// Qt's file dialog that, asked to, refuses a name whose folder does not exist.
class SaveFileDialog : public QFileDialog {
public:
  SaveFileDialog(QWidget* owner, bool pathMustExist)
      : QFileDialog(owner), pathMustExist_(pathMustExist) {}

  void accept() override {
    const QStringList files = selectedFiles();
    if (pathMustExist_ && !files.isEmpty() && !files.first().isEmpty()) {
      const QFileInfo chosen(files.first());
      // A folder's own name is not refused: the dialog opens that folder.
      if (!chosen.isDir() && !QFileInfo(chosen.absolutePath()).isDir()) {
        // The file dialog's own words, in the language it speaks.
        const QString text =
            QCoreApplication::translate("QFileDialog",
                                        "%1\nDirectory not found.\nPlease verify the correct "
                                        "directory name was given.")
                .arg(QDir::toNativeSeparators(chosen.absolutePath()));
        QMessageBox::warning(this, windowTitle(), text);
        return;
      }
    }
    QFileDialog::accept();
  }

private:
  bool pathMustExist_;
};

}  // namespace

BOOL RunSaveFileDialog(OPENFILENAME* ofn) {
  if (!ofn || ofn->nMaxFile == 0) return 0;

  QWidget* owner = ofn->hwndOwner ? QWidget::find(static_cast<WId>(ofn->hwndOwner)) : nullptr;
  SaveFileDialog dialog(owner, (ofn->Flags & OFN_PATHMUSTEXIST) != 0);
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setDefaultSuffix(QString());
  dialog.setOption(QFileDialog::DontConfirmOverwrite, (ofn->Flags & OFN_OVERWRITEPROMPT) == 0);
  dialog.setOption(QFileDialog::HideNameFilterDetails);

  const NameFilterList types = NameFilters(ofn->lpstrFilter);
  const QStringList& filters = types.filters;
  if (!filters.isEmpty()) {
    dialog.setNameFilters(filters);
    const int index = ofn->nFilterIndex >= 1 && ofn->nFilterIndex <= static_cast<uint32_t>(filters.size())
                          ? static_cast<int>(ofn->nFilterIndex) - 1
                          : 0;
    dialog.selectNameFilter(filters[index]);
  }
  if (!ofn->lpstrInitialDir.empty())
    dialog.setDirectory(QString::fromStdString(ofn->lpstrInitialDir));

  if (dialog.exec() != QDialog::Accepted) return 0;
  const QStringList chosen = dialog.selectedFiles();
  if (chosen.isEmpty() || chosen.first().isEmpty()) return 0;

  // The path must fit the caller's buffer with its NUL; a longer one fails
  // rather than coming back cut short.
  const std::string path = chosen.first().toStdString();
  if (path.size() > ofn->nMaxFile - 1) return 0;
  ofn->lpstrFile.assign(ofn->nMaxFile, '\0');
  std::memcpy(ofn->lpstrFile.data(), path.data(), path.size());

  if (ofn->nMaxFileTitle > 0) {
    const std::string title = QFileInfo(chosen.first()).fileName().toStdString();
    ofn->lpstrFileTitle.assign(ofn->nMaxFileTitle, '\0');
    if (title.size() <= ofn->nMaxFileTitle - 1)
      std::memcpy(ofn->lpstrFileTitle.data(), title.data(), title.size());
  }
  // The dialog names the chosen type by its whole filter or, with the details
  // hidden, by its description.
  const QString selected = dialog.selectedNameFilter();
  int picked = filters.indexOf(selected);
  if (picked < 0) picked = types.descriptions.indexOf(selected);
  if (picked >= 0) ofn->nFilterIndex = static_cast<uint32_t>(picked + 1);
  return 1;
}

BOOL RealBackend::GetSaveFileNameA(OPENFILENAME* ofn) { return RunSaveFileDialog(ofn); }

}  // namespace platform

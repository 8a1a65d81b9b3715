#pragma once
// The open and save dialogs of the calibration window, behind a seam that
// tests (or a host) can answer without showing a dialog.
#include <QString>
#include <optional>

class QWidget;

namespace vr::ui {

// What a file dialog asks for; the filter is "caption|pattern|caption|pattern".
struct TFileDialog {
  bool Save = false;
  QString DefaultExt = QStringLiteral("tar");
  QString Filter = QStringLiteral("Градуировочные таблицы|*.tar|Все файлы|*.*");
};

class FileDialogs {
 public:
  virtual ~FileDialogs() = default;
  // The chosen file's name, or nothing when the user cancels.
  virtual std::optional<QString> Execute(QWidget* parent, const TFileDialog& dialog) = 0;
};

// The dialogs in use (never null): the standard Qt file dialogs unless
// SetFileDialogs installed others.
FileDialogs& Dialogs();
// nullptr restores the standard dialogs. The object must outlive its use.
void SetFileDialogs(FileDialogs* dialogs);

}  // namespace vr::ui

#include "ui/qt/file_dialogs.h"

#include <QFileDialog>
#include <QStringList>

namespace vr::ui {
namespace {

// "A|*.tar|B|*.*" -> {"A (*.tar)", "B (*.*)"}
QStringList NameFilters(const QString& filter) {
  const QStringList parts = filter.split(QLatin1Char('|'));
  QStringList out;
  for (int i = 0; i + 1 < parts.size(); i += 2)
    out << QStringLiteral("%1 (%2)").arg(parts[i], QString(parts[i + 1]).replace(';', ' '));
  return out;
}

class StandardDialogs : public FileDialogs {
 public:
  std::optional<QString> Execute(QWidget* parent, const TFileDialog& d) override {
    QFileDialog dialog(parent);
    dialog.setAcceptMode(d.Save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(d.Save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    dialog.setDefaultSuffix(d.DefaultExt);
    dialog.setNameFilters(NameFilters(d.Filter));
    // Saving replaces a table file without asking.
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return dialog.selectedFiles().front();
  }
};

StandardDialogs g_standard;
FileDialogs* g_dialogs = nullptr;

}  // namespace

FileDialogs& Dialogs() {
  return g_dialogs ? *g_dialogs : g_standard;
}
void SetFileDialogs(FileDialogs* dialogs) {
  g_dialogs = dialogs;
}

}  // namespace vr::ui

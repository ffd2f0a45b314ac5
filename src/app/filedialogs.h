// The save and open dialogs of batch settings files, behind a seam that tests answer with a path.
#pragma once

#include <QString>
#include <QStringList>

#include <functional>

class QWidget;

namespace kvx::app {

enum class FileDialogKind { Save, Open };

// Returns the chosen path, or an empty string when the user cancelled.
using FileDialogHandler = std::function<QString(QWidget* owner, FileDialogKind kind)>;

// Installs `handler` and returns the one it replaces; an empty handler restores QFileDialog.
FileDialogHandler setFileDialogHandler(FileDialogHandler handler);

// The file the dialog of `kind` starts from: the one last chosen in it (an absolute path), or
// empty before the first choice, when it starts in initialDialogFolder.
QString dialogStartFile(FileDialogKind kind);

QString getSaveSettingsFileName(QWidget* owner);
QString getOpenSettingsFileName(QWidget* owner);

// The name filters of the output file's dialog: delimited text first, then workbooks; and the
// one that fits `fileName` (a name ending in .xlsx picks the workbook filter).
QStringList outputFileNameFilters();
QString outputFileNameFilterFor(const QString& fileName);

// Where the dialogs start: `programFolder` when the user can write there, else `homeFolder`.
QString initialDialogFolder(const QString& programFolder, const QString& homeFolder);

} // namespace kvx::app

// The file dialogs of the window (batch settings files and the report's output file), behind a
// seam that tests answer with a path.
#pragma once

#include <QString>
#include <QStringList>

#include <functional>

class QWidget;

namespace kvx::app {

enum class FileDialogKind { Save, Open, Output };

// Returns the chosen path, or an empty string when the user cancelled.
using FileDialogHandler = std::function<QString(QWidget* owner, FileDialogKind kind)>;

// Installs `handler` and returns the one it replaces; an empty handler restores QFileDialog.
FileDialogHandler setFileDialogHandler(FileDialogHandler handler);

// The file the dialog of `kind` starts from: the one last chosen in it (an absolute path), or
// empty before the first choice.
QString dialogStartFile(FileDialogKind kind);

// A settings file was read or written (by a dialog, the command line or a drop): the settings
// dialogs start in its folder from now on.
void noteSettingsFileUsed(const QString& path);
// The folder the Load and Save dialogs start in: that of the last settings file used, else the
// user's documents folder (their home where there is none). Never the program's own folder.
QString settingsDialogFolder();
// The rule of settingsDialogFolder: the folder of `lastFile` when there is one, else
// `documentsFolder` when it exists, else `homeFolder`.
QString initialDialogFolder(const QString& lastFile, const QString& documentsFolder,
                            const QString& homeFolder);

QString getSaveSettingsFileName(QWidget* owner);
QString getOpenSettingsFileName(QWidget* owner);
// The report's output file, starting from `current` (the name in the Output page, resolved
// against the working folder when relative).
QString getOutputFileName(QWidget* owner, const QString& current);

// The name filters of the output file's dialog: delimited text first, then workbooks; and the
// one that fits `fileName` (a name ending in .xlsx picks the workbook filter).
QStringList outputFileNameFilters();
QString outputFileNameFilterFor(const QString& fileName);

} // namespace kvx::app

#include "app/filedialogs.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QStandardPaths>

#include <utility>

namespace kvx::app {

namespace {

FileDialogHandler& currentHandler() {
    static FileDialogHandler handler;
    return handler;
}

// The file last chosen in each dialog, for as long as the program runs.
QString& lastChosen(FileDialogKind kind) {
    static QString save;
    static QString open;
    static QString output;
    switch (kind) {
    case FileDialogKind::Save:
        return save;
    case FileDialogKind::Open:
        return open;
    case FileDialogKind::Output:
        break;
    }
    return output;
}

QString& lastSettingsFile() {
    static QString file;
    return file;
}

QString showFileDialog(QWidget* owner, FileDialogKind kind, const QString& startFile) {
    const bool output = kind == FileDialogKind::Output;
    // The settings dialogs start in the folder of the last settings file used, whichever way
    // it was used; the output dialog in the folder of the report's file.
    QFileDialog dialog(owner, QStringLiteral("Korvanex"),
                       output && !startFile.isEmpty() ? QFileInfo(startFile).absolutePath()
                                                      : settingsDialogFolder());
    dialog.setAcceptMode(kind == FileDialogKind::Open ? QFileDialog::AcceptOpen
                                                      : QFileDialog::AcceptSave);
    dialog.setFileMode(kind == FileDialogKind::Open ? QFileDialog::ExistingFile
                                                    : QFileDialog::AnyFile);
    if (output) {
        // The report is written as it is named; no suffix is added to a name typed without one.
        QStringList filters = outputFileNameFilters();
        filters << QStringLiteral("All files (*)");
        dialog.setNameFilters(filters);
        dialog.selectNameFilter(outputFileNameFilterFor(startFile));
        dialog.setOption(QFileDialog::DontConfirmOverwrite); // every run replaces the report
    } else {
        dialog.setDefaultSuffix(QStringLiteral("kvx"));
        dialog.setNameFilter(QStringLiteral("*.kvx"));
    }
    if (!startFile.isEmpty())
        dialog.selectFile(QFileInfo(startFile).fileName());
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().constFirst();
}

QString ask(QWidget* owner, FileDialogKind kind, const QString& startFile) {
    const FileDialogHandler& handler = currentHandler();
    const QString chosen = handler ? handler(owner, kind) : showFileDialog(owner, kind, startFile);
    if (!chosen.isEmpty()) {
        lastChosen(kind) = QFileInfo(chosen).absoluteFilePath();
        if (kind != FileDialogKind::Output)
            noteSettingsFileUsed(chosen);
    }
    return chosen;
}

} // namespace

QStringList outputFileNameFilters() {
    return {QStringLiteral("Delimited text (*.txt *.csv)"),
            QStringLiteral("Excel workbook (*.xlsx)")};
}

QString outputFileNameFilterFor(const QString& fileName) {
    const QStringList filters = outputFileNameFilters();
    return fileName.endsWith(QStringLiteral(".xlsx"), Qt::CaseInsensitive) ? filters.at(1)
                                                                           : filters.at(0);
}

FileDialogHandler setFileDialogHandler(FileDialogHandler handler) {
    return std::exchange(currentHandler(), std::move(handler));
}

QString dialogStartFile(FileDialogKind kind) {
    return lastChosen(kind);
}

void noteSettingsFileUsed(const QString& path) {
    if (!path.isEmpty())
        lastSettingsFile() = QFileInfo(path).absoluteFilePath();
}

QString settingsDialogFolder() {
    return initialDialogFolder(lastSettingsFile(),
                               QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation),
                               QDir::homePath());
}

QString initialDialogFolder(const QString& lastFile, const QString& documentsFolder,
                            const QString& homeFolder) {
    if (!lastFile.isEmpty())
        return QFileInfo(lastFile).absolutePath();
    if (!documentsFolder.isEmpty() && QFileInfo(documentsFolder).isDir())
        return documentsFolder;
    return homeFolder;
}

QString getSaveSettingsFileName(QWidget* owner) {
    return ask(owner, FileDialogKind::Save, dialogStartFile(FileDialogKind::Save));
}

QString getOpenSettingsFileName(QWidget* owner) {
    return ask(owner, FileDialogKind::Open, dialogStartFile(FileDialogKind::Open));
}

QString getOutputFileName(QWidget* owner, const QString& current) {
    const QString start = current.isEmpty() ? dialogStartFile(FileDialogKind::Output)
                                            : QFileInfo(current).absoluteFilePath();
    return ask(owner, FileDialogKind::Output, start);
}

} // namespace kvx::app

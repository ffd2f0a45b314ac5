#include "app/filedialogs.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>

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
    return kind == FileDialogKind::Save ? save : open;
}

QString showFileDialog(QWidget* owner, FileDialogKind kind) {
    const QString last = dialogStartFile(kind);
    QFileDialog dialog(owner, QStringLiteral("Korvanex"),
                       last.isEmpty() ? initialDialogFolder(QCoreApplication::applicationDirPath(),
                                                            QDir::homePath())
                                      : QFileInfo(last).absolutePath());
    dialog.setAcceptMode(kind == FileDialogKind::Save ? QFileDialog::AcceptSave
                                                      : QFileDialog::AcceptOpen);
    dialog.setFileMode(kind == FileDialogKind::Save ? QFileDialog::AnyFile
                                                    : QFileDialog::ExistingFile);
    dialog.setDefaultSuffix(QStringLiteral("kvx"));
    dialog.setNameFilter(QStringLiteral("*.kvx"));
    if (!last.isEmpty())
        dialog.selectFile(QFileInfo(last).fileName());
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().constFirst();
}

QString ask(QWidget* owner, FileDialogKind kind) {
    const FileDialogHandler& handler = currentHandler();
    const QString chosen = handler ? handler(owner, kind) : showFileDialog(owner, kind);
    if (!chosen.isEmpty())
        lastChosen(kind) = QFileInfo(chosen).absoluteFilePath();
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

QString getSaveSettingsFileName(QWidget* owner) {
    return ask(owner, FileDialogKind::Save);
}

QString getOpenSettingsFileName(QWidget* owner) {
    return ask(owner, FileDialogKind::Open);
}

QString initialDialogFolder(const QString& programFolder, const QString& homeFolder) {
    const QFileInfo info(programFolder);
    if (!programFolder.isEmpty() && info.isDir() && info.isWritable())
        return programFolder;
    return homeFolder;
}

} // namespace kvx::app

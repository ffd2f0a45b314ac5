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

QString showFileDialog(QWidget* owner, FileDialogKind kind) {
    QFileDialog dialog(
        owner, QStringLiteral("Korvanex"),
        initialDialogFolder(QCoreApplication::applicationDirPath(), QDir::homePath()));
    dialog.setAcceptMode(kind == FileDialogKind::Save ? QFileDialog::AcceptSave
                                                      : QFileDialog::AcceptOpen);
    dialog.setFileMode(kind == FileDialogKind::Save ? QFileDialog::AnyFile
                                                    : QFileDialog::ExistingFile);
    dialog.setDefaultSuffix(QStringLiteral("kvx"));
    dialog.setNameFilter(QStringLiteral("*.kvx"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().constFirst();
}

QString ask(QWidget* owner, FileDialogKind kind) {
    const FileDialogHandler& handler = currentHandler();
    return handler ? handler(owner, kind) : showFileDialog(owner, kind);
}

} // namespace

FileDialogHandler setFileDialogHandler(FileDialogHandler handler) {
    return std::exchange(currentHandler(), std::move(handler));
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

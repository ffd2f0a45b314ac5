// The main window tests' fixture: one application for the whole program (with a command line a
// test may set), the main window and its help windows made in the program's order on the
// offscreen platform, trees served through the real client calls, the message seam recording
// (each box answered OK) and the file-dialog seam answering, and helpers that drive the window
// the way a user does, finding widgets by object name.
#pragma once

#include "app/filedialogs.h"
#include "app/frmndsrep.h"
#include "app/messages.h"
#include "help/frmabout.h"
#include "help/frmexplaintabular.h"
#include "help/frminstructions.h"

#include "common/trees.h"

#include <QString>
#include <QStringList>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

class QComboBox;
class QDialog;
class QListWidget;
class QTreeWidget;
class QTreeWidgetItem;

namespace kvx::test {

// The application every test of the program runs in (created on first use).
kvx::app::KvxApplication& application();
// The command line the application (and so the window) sees from now on.
void setArguments(const std::vector<std::string>& args);

// Records every message shown while it lives; each counts as answered with OK.
class MessageRecorder {
public:
    MessageRecorder();
    ~MessageRecorder();
    MessageRecorder(const MessageRecorder&) = delete;
    MessageRecorder& operator=(const MessageRecorder&) = delete;

    std::vector<kvx::app::Message> messages;

private:
    kvx::app::MessageHandler previous_;
};

// Runs `action` on the modal dialog as soon as it shows; the action must close it.
void whenModalShows(std::function<void(QDialog*)> action);
// Runs the event loop until `done` holds or `ms` pass; returns `done()`.
bool waitFor(const std::function<bool()>& done, int ms = 5000);

QStringList column(const QTreeWidget* list, int column);
inline QStringList captions(const QTreeWidget* list) {
    return column(list, 0);
}
QStringList listTexts(const QListWidget* list);
QStringList comboTexts(const QComboBox* combo);
QStringList childTexts(const QTreeWidgetItem* node);
QTreeWidgetItem* childNamed(QTreeWidgetItem* node, const QString& text);
QStringList localeSorted(QStringList texts);
// "Name.Parent...." of a container node, up to below "[root]".
QString pathOf(const QTreeWidgetItem* node);

// outputPage() of the window as designed, before any saved defaults are read.
inline const std::string kDesignedOutputPage =
    "OutputWindow=1 OutputFile=0 OutputColumnHeaders=0 OutputEncloseQuotes=0 HideEmptyColumns=1 "
    "separator=[,] name=[NDSReport.txt]";

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The sample tree through the default client configuration (the test environment points the
    // client at the repository's data folder and at no configuration file).
    void serveSampleTree();

    // Creates the windows in the program's order and shows the main one (start-up runs).
    void start();
    // Destroys the windows (the main one last).
    void closeWindows();

    template <class T> T* find(const char* name) const {
        T* widget = window->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }
    QTreeWidget* tree() const;
    QListWidget* classes() const;
    QTreeWidget* selected() const;

    // Container tree: expands each named node below "[root]" in turn and selects the last.
    QTreeWidgetItem* walkTo(const QStringList& path);
    // Clicks a class of the class list (the class must be listed).
    void chooseClass(const QString& name);
    // Chooses each available attribute in turn and presses ">".
    void chooseAttributes(const QStringList& names);
    // Chooses a row of the list by its caption (nullptr: clears the choice).
    void chooseRow(QTreeWidget* list, const QString& caption);
    QTreeWidgetItem* rowNamed(QTreeWidget* list, const QString& caption) const;
    QStringList comboItems() const;
    // Opens and closes the expanded attribute's drop-down list, as a click on it does.
    void dropDownCombo();
    // Opens the drop-down list and picks `item`.
    void pickExpandedAttribute(const QString& item);

    // Output page.
    struct Output {
        bool toWindow = true;
        bool toFile = true;
        bool headers = true;
        bool quotes = false;
        QString separator = QStringLiteral(",");
        bool hideEmpty = true;
    };
    void setOutput(const Output& output, const QString& fileName);
    // The Output page in one line: each check box as 1 or 0, the separator and the file name.
    std::string outputPage() const;
    void pressStart();
    // Chooses the container, the class and the attributes, sets the Output page, presses Start.
    void runReport(const QStringList& path, const QString& className, const QStringList& attributes,
                   const Output& output, const QString& fileName);

    // Results list.
    QStringList resultCaptions() const;
    QStringList resultColumn(int column) const;
    std::vector<std::vector<std::string>> resultRows() const;
    // Clicks the results list's header on the section of `column`, with the mouse.
    void clickHeader(int column);
    int sectionWidth(int column) const;
    bool sectionHidden(int column) const;

    // The file dialogs answer with `path` (empty: cancelled); returns the kinds asked for.
    std::shared_ptr<std::vector<kvx::app::FileDialogKind>> answerDialogs(const QString& path);

    // The whole content of a file as bytes ("<missing>" when it cannot be read).
    static std::string readFile(const QString& path);
    static void writeFile(const QString& path, const std::string& bytes);
    QString tempPath(const char* name) const;

    QStringList messageTexts() const;

    std::unique_ptr<TfrmKorvanex> window;
    std::unique_ptr<TfrmAbout> frmAbout;
    std::unique_ptr<TfrmExplain> frmExplain;
    std::unique_ptr<TfrmInstruct> frmInstruct;
    std::vector<kvx::app::Message> messages;
    std::vector<QString> panels; // the second status panel as each message showed
    // Every question asked, each answered at once with `questionAnswer` (false: the second).
    std::vector<kvx::app::Question> questions;
    bool questionAnswer = false;
    QString tempDir;

private:
    kvx::app::MessageHandler previousHandler_;
};

} // namespace kvx::test

// Shared set-up of the attribute selection and report run tests: the main window on the
// offscreen platform over a tree served through the real client calls, a recorder for message
// boxes and status texts, and helpers that drive the window the way a user does.
#pragma once

#include "app/frmndsrep.h"
#include "app/messages.h"
#include "help/frmabout.h"
#include "help/frmexplaintabular.h"
#include "help/frminstructions.h"

#include <QString>
#include <QStringList>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

class QCheckBox;
class QLineEdit;
class QListWidget;
class QPushButton;
class QRadioButton;
class QTabWidget;
class QTreeView;
class QTreeWidget;
class QTreeWidgetItem;

namespace kvx::reporttest {

class ReportWindowTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The sample tree through the default client configuration (the test environment points the
    // client at the repository's data folder and at no configuration file).
    void serveSampleTree();
    // A tree made of a schema text and an LDIF text, as the default tree "T".
    void serveText(const std::string& schema, const std::string& ldif);

    // Creates the windows in the program's order and shows the main one (start-up runs).
    void start();

    template <class T> T* find(const char* name) const {
        T* widget = window->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }

    // Container tree: expands each named node below "[root]" in turn and selects the last.
    QTreeWidgetItem* walkTo(const QStringList& path);
    // Clicks a class of the class list (the class must be listed).
    void chooseClass(const QString& name);
    // Chooses each available attribute in turn and presses ">".
    void chooseAttributes(const QStringList& names);
    // Chooses a row of the list by its caption (nullptr: clears the choice).
    void chooseRow(QTreeWidget* list, const QString& caption);
    QTreeWidgetItem* rowNamed(QTreeWidget* list, const QString& caption) const;
    static QStringList captions(const QTreeWidget* list);
    static QStringList column(const QTreeWidget* list, int column);
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
    void pressStart();

    // Results list.
    QStringList resultCaptions() const;
    QStringList resultColumn(int column) const;
    std::vector<std::vector<std::string>> resultRows() const;
    int sectionWidth(int column) const;
    bool sectionHidden(int column) const;

    // The whole content of a file as bytes ("<missing>" when it cannot be read).
    static std::string readFile(const QString& path);
    static void writeFile(const QString& path, const std::string& bytes);
    QString tempPath(const char* name) const;

    std::vector<QString> messageTexts() const;

    std::unique_ptr<TfrmKorvanex> window;
    std::unique_ptr<TfrmAbout> frmAbout;
    std::unique_ptr<TfrmExplain> frmExplain;
    std::unique_ptr<TfrmInstruct> frmInstruct;
    std::vector<kvx::app::Message> messages;
    QString tempDir;

private:
    kvx::app::MessageHandler previousHandler_;
};

} // namespace kvx::reporttest

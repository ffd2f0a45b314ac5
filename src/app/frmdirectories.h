// TfrmDirectories, the "Directories" dialog: the trees of the client configuration, added,
// edited, duplicated, removed and tested, and kept in the user's own client.conf (its comments,
// order and unknown keys untouched); passwords go to the desktop's keyring or to a password file
// of mode 600, never to client.conf. Trees of the system's file are shown read-only.
#pragma once

#include "directory/client/config.h"
#include "directory/keyring.h"
#include "directory/treecheck.h"

#include <QDialog>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace Ui {
class TfrmDirectories;
}

class TfrmDirectories : public QDialog {
    Q_OBJECT
public:
    explicit TfrmDirectories(QWidget* parent = nullptr,
                             std::shared_ptr<kvx::directory::Keyring> keyring = nullptr);
    ~TfrmDirectories() override;

    // After OK: the tree that was chosen in the list (the one to select in the window).
    QString chosenTree() const { return chosenTree_; }
    // The user's file the dialog saves to.
    QString configurationFile() const { return QString::fromStdString(userFile_); }

    void lstDirectoriesChange();
    void cmdDirectoryAddClick();
    void cmdDirectoryDuplicateClick();
    void cmdDirectoryRemoveClick();
    void optKindClick();
    void cboBindKindChange();
    void cmdFolderBrowseClick();
    void cmdCaBrowseClick();
    void cmdTestClick();
    void cmdTestCancelClick();
    void cmdListContextsClick();
    void lstNamingContextsClick();
    void cmdOKClick();

private:
    struct Item {
        kvx::client::TreeSource source;
        std::string originalName; // as in the file, empty for a tree added here
        bool system = false;
        std::string password;        // typed in the dialog (empty: unchanged)
        bool passwordInFile = false; // kept in a password file rather than the keyring
    };
    enum class TestPurpose { Test, NamingContexts };

    void loadItems();
    void showItem(int index);
    void readForm();
    void updateControls();
    void addItem(Item item);
    std::string uniqueName(const std::string& wanted) const;
    bool validate(QString& why) const;
    void startTest(TestPurpose purpose);
    void testFinished(unsigned generation, TestPurpose purpose, kvx::directory::TreeCheck check);
    void joinWorker();
    bool savePasswords(QString& why);

    std::unique_ptr<Ui::TfrmDirectories> ui;
    std::shared_ptr<kvx::directory::Keyring> keyring_;
    std::string userFile_;
    std::string userText_; // the user's file as read
    std::vector<Item> items_;
    std::vector<std::string> removed_; // names in the user's file of trees removed here
    int current_ = -1;
    bool filling_ = false;
    QString chosenTree_;

    std::thread worker_;
    std::shared_ptr<std::atomic<bool>> cancel_;
    unsigned generation_ = 0;
    bool testing_ = false;
};

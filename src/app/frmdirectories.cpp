#include "app/frmdirectories.h"

#include "app/messages.h"
#include "directory/client/config_document.h"
#include "directory/client/names.h"
#include "ui_frmdirectories.h"

#include <QFileDialog>
#include <QMetaObject>

#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace {

using kvx::client::TreeSource;

enum BindKind { BindAnonymous = 0, BindPassword = 1, BindKerberos = 2, BindCertificate = 3 };

std::string readWhole(const std::string& path, bool& ok) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    ok = static_cast<bool>(in);
    return text.str();
}

bool exists(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

QString q(const std::string& s) {
    return QString::fromStdString(s);
}

std::string s(const QString& text) {
    return text.trimmed().toStdString();
}

int bindKindOf(const TreeSource& t) {
    if (kvx::client::names::equalNoCase(t.sasl, "GSSAPI"))
        return BindKerberos;
    if (!t.sasl.empty())
        return BindCertificate;
    return t.bindDn.empty() ? BindAnonymous : BindPassword;
}

} // namespace

TfrmDirectories::TfrmDirectories(QWidget* parent, std::shared_ptr<kvx::directory::Keyring> keyring)
    : QDialog(parent), ui(std::make_unique<Ui::TfrmDirectories>()),
      keyring_(keyring ? std::move(keyring) : kvx::directory::makeDesktopKeyring()) {
    ui->setupUi(this);
    ui->lstNamingContexts->hide();
    ui->cmdTestCancel->setEnabled(false);
    connect(ui->lstDirectories, &QListWidget::currentRowChanged, this,
            &TfrmDirectories::lstDirectoriesChange);
    connect(ui->cmdDirectoryAdd, &QPushButton::clicked, this,
            &TfrmDirectories::cmdDirectoryAddClick);
    connect(ui->cmdDirectoryDuplicate, &QPushButton::clicked, this,
            &TfrmDirectories::cmdDirectoryDuplicateClick);
    connect(ui->cmdDirectoryRemove, &QPushButton::clicked, this,
            &TfrmDirectories::cmdDirectoryRemoveClick);
    connect(ui->optKindFolder, &QRadioButton::toggled, this, &TfrmDirectories::optKindClick);
    connect(ui->optKindServer, &QRadioButton::toggled, this, &TfrmDirectories::optKindClick);
    connect(ui->cboBindKind, &QComboBox::currentIndexChanged, this,
            &TfrmDirectories::cboBindKindChange);
    connect(ui->cboPasswordStore, &QComboBox::currentIndexChanged, this,
            &TfrmDirectories::cboBindKindChange);
    connect(ui->cmdFolderBrowse, &QPushButton::clicked, this,
            &TfrmDirectories::cmdFolderBrowseClick);
    connect(ui->cmdCaBrowse, &QPushButton::clicked, this, &TfrmDirectories::cmdCaBrowseClick);
    connect(ui->cmdTest, &QPushButton::clicked, this, &TfrmDirectories::cmdTestClick);
    connect(ui->cmdTestCancel, &QPushButton::clicked, this, &TfrmDirectories::cmdTestCancelClick);
    connect(ui->cmdListContexts, &QPushButton::clicked, this,
            &TfrmDirectories::cmdListContextsClick);
    connect(ui->lstNamingContexts, &QListWidget::itemClicked, this,
            &TfrmDirectories::lstNamingContextsClick);
    connect(ui->cmdOK, &QPushButton::clicked, this, &TfrmDirectories::cmdOKClick);
    connect(ui->cmdCancel, &QPushButton::clicked, this, &QDialog::reject);
    ui->cmdOK->setDefault(true);
    loadItems();
}

TfrmDirectories::~TfrmDirectories() {
    if (cancel_)
        cancel_->store(true);
    joinWorker();
}

void TfrmDirectories::joinWorker() {
    if (worker_.joinable())
        worker_.join();
}

void TfrmDirectories::loadItems() {
    userFile_ = kvx::client::userConfigPath();
    bool ok = false;
    if (exists(userFile_))
        userText_ = readWhole(userFile_, ok);
    kvx::client::ClientConfig user = kvx::client::parseClientConfig(userText_, userFile_);
    for (const TreeSource& t : user.trees)
        addItem(Item{t, t.name, false, {}, !t.passwordFile.empty()});
    const std::string systemFile = kvx::client::systemConfigPath();
    if (exists(systemFile) && systemFile != userFile_) {
        std::string text = readWhole(systemFile, ok);
        for (TreeSource& t : kvx::client::parseClientConfig(text, systemFile).trees) {
            bool named = false;
            for (const Item& i : items_)
                named = named || kvx::client::names::equalNoCase(i.source.name, t.name);
            if (!named)
                addItem(Item{std::move(t), {}, true, {}, false});
        }
    }
    if (!items_.empty())
        ui->lstDirectories->setCurrentRow(0);
    else
        showItem(-1);
}

void TfrmDirectories::addItem(Item item) {
    QString caption = q(item.source.name);
    if (item.system)
        caption += tr(" (system)");
    items_.push_back(std::move(item));
    ui->lstDirectories->addItem(caption);
}

std::string TfrmDirectories::uniqueName(const std::string& wanted) const {
    for (int n = 1;; ++n) {
        std::string name = n == 1 ? wanted : wanted + std::to_string(n);
        bool taken = false;
        for (const Item& i : items_)
            taken = taken || kvx::client::names::equalNoCase(i.source.name, name);
        if (!taken)
            return name;
    }
}

void TfrmDirectories::lstDirectoriesChange() {
    if (filling_)
        return;
    readForm();
    showItem(ui->lstDirectories->currentRow());
}

void TfrmDirectories::showItem(int index) {
    filling_ = true;
    current_ = index >= 0 && index < static_cast<int>(items_.size()) ? index : -1;
    const Item empty{};
    const Item& item = current_ >= 0 ? items_[static_cast<std::size_t>(current_)] : empty;
    const TreeSource& t = item.source;
    ui->txtDirectoryName->setText(q(t.name));
    const bool server = !t.url.empty() || t.folder.empty();
    ui->optKindServer->setChecked(server);
    ui->optKindFolder->setChecked(!server);
    ui->txtFolder->setText(q(t.folder));
    ui->txtServerUrl->setText(q(t.url));
    ui->chkStartTls->setChecked(t.startTls);
    ui->txtBase->setText(q(t.base));
    ui->cboBindKind->setCurrentIndex(bindKindOf(t));
    ui->txtBindDn->setText(q(t.bindDn));
    ui->txtPassword->setText(q(item.password));
    ui->txtPassword->setPlaceholderText(
        !item.originalName.empty() && !t.bindDn.empty() ? tr("(unchanged)") : QString());
    ui->cboPasswordStore->setCurrentIndex(item.passwordInFile ? 1 : 0);
    ui->txtPasswordFile->setText(q(t.passwordFile));
    ui->txtClientCertificate->setText(q(t.clientCertificate));
    ui->txtClientKey->setText(q(t.clientKey));
    ui->txtCaCertificate->setText(q(t.caCertificate));
    ui->lstNamingContexts->clear();
    ui->lstNamingContexts->hide();
    ui->txtTestResult->clear();
    filling_ = false;
    updateControls();
}

void TfrmDirectories::readForm() {
    if (current_ < 0 || current_ >= static_cast<int>(items_.size()))
        return;
    Item& item = items_[static_cast<std::size_t>(current_)];
    if (item.system)
        return;
    TreeSource t;
    t.name = s(ui->txtDirectoryName->text());
    if (ui->optKindFolder->isChecked()) {
        t.folder = s(ui->txtFolder->text());
    } else {
        t.url = s(ui->txtServerUrl->text());
        t.startTls = ui->chkStartTls->isChecked();
        t.base = s(ui->txtBase->text());
        t.caCertificate = s(ui->txtCaCertificate->text());
        const int kind = ui->cboBindKind->currentIndex();
        if (kind == BindPassword || kind == BindKerberos)
            t.bindDn = s(ui->txtBindDn->text());
        if (kind == BindKerberos)
            t.sasl = "GSSAPI";
        if (kind == BindCertificate) {
            t.sasl = "EXTERNAL";
            t.clientCertificate = s(ui->txtClientCertificate->text());
            t.clientKey = s(ui->txtClientKey->text());
        }
        item.passwordInFile = kind == BindPassword && ui->cboPasswordStore->currentIndex() == 1;
        if (item.passwordInFile)
            t.passwordFile = s(ui->txtPasswordFile->text());
        item.password =
            kind == BindPassword ? ui->txtPassword->text().toStdString() : std::string();
    }
    item.source = std::move(t);
    QListWidgetItem* row = ui->lstDirectories->item(current_);
    if (row != nullptr)
        row->setText(q(item.source.name));
}

void TfrmDirectories::updateControls() {
    const bool has = current_ >= 0;
    const bool editable = has && !items_[static_cast<std::size_t>(current_)].system;
    ui->lblSystemTree->setVisible(has && !editable);
    for (QWidget* w :
         {static_cast<QWidget*>(ui->txtDirectoryName), static_cast<QWidget*>(ui->optKindServer),
          static_cast<QWidget*>(ui->optKindFolder), static_cast<QWidget*>(ui->stkDirectoryKind)})
        w->setEnabled(editable);
    ui->cmdDirectoryDuplicate->setEnabled(has);
    ui->cmdDirectoryRemove->setEnabled(editable);
    ui->cmdTest->setEnabled(has && !testing_);
    ui->cmdListContexts->setEnabled(has && !testing_);
    ui->cmdTestCancel->setEnabled(testing_);
    ui->stkDirectoryKind->setCurrentWidget(ui->optKindFolder->isChecked() ? ui->pgFolder
                                                                          : ui->pgServer);
    const int kind = ui->cboBindKind->currentIndex();
    const bool password = kind == BindPassword;
    const bool inFile = password && ui->cboPasswordStore->currentIndex() == 1;
    ui->txtBindDn->setEnabled(password || kind == BindKerberos);
    ui->txtPassword->setEnabled(password);
    ui->cboPasswordStore->setEnabled(password);
    ui->txtPasswordFile->setEnabled(inFile);
    ui->txtClientCertificate->setEnabled(kind == BindCertificate);
    ui->txtClientKey->setEnabled(kind == BindCertificate);
    if (inFile && ui->txtPasswordFile->text().trimmed().isEmpty() && !filling_) {
        const QString folder = QString::fromStdString(userFile_).section(QLatin1Char('/'), 0, -2);
        ui->txtPasswordFile->setText(folder + QLatin1Char('/') +
                                     ui->txtDirectoryName->text().trimmed().toLower() +
                                     QStringLiteral(".password"));
    }
}

void TfrmDirectories::optKindClick() {
    if (!filling_)
        updateControls();
}

void TfrmDirectories::cboBindKindChange() {
    if (!filling_)
        updateControls();
}

void TfrmDirectories::cmdDirectoryAddClick() {
    readForm();
    Item item;
    item.source.name = uniqueName("NEWTREE");
    item.source.url = "ldap://";
    addItem(std::move(item));
    filling_ = true;
    ui->lstDirectories->setCurrentRow(static_cast<int>(items_.size()) - 1);
    filling_ = false;
    showItem(static_cast<int>(items_.size()) - 1);
    ui->txtDirectoryName->setFocus();
    ui->txtDirectoryName->selectAll();
}

void TfrmDirectories::cmdDirectoryDuplicateClick() {
    readForm();
    if (current_ < 0)
        return;
    Item copy = items_[static_cast<std::size_t>(current_)];
    copy.source.name = uniqueName(copy.source.name + "-copy");
    copy.originalName.clear();
    copy.source.system = false;
    copy.system = false;
    addItem(std::move(copy));
    filling_ = true;
    ui->lstDirectories->setCurrentRow(static_cast<int>(items_.size()) - 1);
    filling_ = false;
    showItem(static_cast<int>(items_.size()) - 1);
}

void TfrmDirectories::cmdDirectoryRemoveClick() {
    if (current_ < 0 || items_[static_cast<std::size_t>(current_)].system)
        return;
    const Item& item = items_[static_cast<std::size_t>(current_)];
    if (!item.originalName.empty())
        removed_.push_back(item.originalName);
    const int row = current_;
    items_.erase(items_.begin() + row);
    current_ = -1;
    filling_ = true;
    delete ui->lstDirectories->takeItem(row);
    filling_ = false;
    const int next = std::min(row, static_cast<int>(items_.size()) - 1);
    ui->lstDirectories->setCurrentRow(next);
    showItem(next);
}

void TfrmDirectories::cmdFolderBrowseClick() {
    const QString folder =
        QFileDialog::getExistingDirectory(this, tr("Folder of the tree"), ui->txtFolder->text());
    if (!folder.isEmpty())
        ui->txtFolder->setText(folder);
}

void TfrmDirectories::cmdCaBrowseClick() {
    const QString file =
        QFileDialog::getOpenFileName(this, tr("CA certificate"), ui->txtCaCertificate->text(),
                                     tr("Certificates (*.pem *.crt *.cer);;All files (*)"));
    if (!file.isEmpty())
        ui->txtCaCertificate->setText(file);
}

void TfrmDirectories::cmdTestClick() {
    startTest(TestPurpose::Test);
}

void TfrmDirectories::cmdListContextsClick() {
    startTest(TestPurpose::NamingContexts);
}

void TfrmDirectories::startTest(TestPurpose purpose) {
    readForm();
    if (current_ < 0 || testing_)
        return;
    const Item& item = items_[static_cast<std::size_t>(current_)];
    TreeSource tree = item.source;
    if (purpose == TestPurpose::NamingContexts)
        tree.base.clear();
    // The password typed here, else the one the tree keeps (its file, or the keyring).
    std::string password = item.password;
    if (password.empty() && !tree.bindDn.empty() && tree.sasl.empty()) {
        std::string error;
        if (!tree.passwordFile.empty()) {
            bool ok = false;
            password = readWhole(tree.passwordFile, ok);
            while (!password.empty() && (password.back() == '\n' || password.back() == '\r'))
                password.pop_back();
        } else if (!item.originalName.empty()) {
            keyring_->read(item.originalName, password, error);
        }
    }
    joinWorker(); // a cancelled test still under way ends within its time limit
    cancel_ = std::make_shared<std::atomic<bool>>(false);
    const unsigned generation = ++generation_;
    testing_ = true;
    updateControls();
    ui->txtTestResult->setPlainText(
        tr("Testing %1 ...").arg(q(tree.url.empty() ? tree.folder : tree.url)));
    worker_ = std::thread([this, tree, password, generation, purpose, cancel = cancel_]() {
        kvx::directory::TreeCheck check = kvx::directory::checkTree(tree, password, cancel.get());
        QMetaObject::invokeMethod(
            this,
            [this, generation, purpose, check = std::move(check)]() {
                testFinished(generation, purpose, check);
            },
            Qt::QueuedConnection);
    });
}

void TfrmDirectories::cmdTestCancelClick() {
    if (!testing_)
        return;
    cancel_->store(true);
    ++generation_;
    testing_ = false;
    ui->txtTestResult->setPlainText(tr("The test was cancelled."));
    updateControls();
}

void TfrmDirectories::testFinished(unsigned generation, TestPurpose purpose,
                                   kvx::directory::TreeCheck check) {
    if (generation != generation_)
        return;
    testing_ = false;
    updateControls();
    ui->txtTestResult->setPlainText(q(check.text));
    if (check.fault == kvx::client::ConnectionFault::CertificateUntrusted)
        ui->cmdCaBrowse->setFocus();
    if (purpose == TestPurpose::NamingContexts && check.ok) {
        ui->lstNamingContexts->clear();
        for (const std::string& c : check.namingContexts)
            ui->lstNamingContexts->addItem(q(c));
        ui->lstNamingContexts->setVisible(!check.namingContexts.empty());
    }
}

void TfrmDirectories::lstNamingContextsClick() {
    if (QListWidgetItem* item = ui->lstNamingContexts->currentItem())
        ui->txtBase->setText(item->text());
}

bool TfrmDirectories::validate(QString& why) const {
    for (std::size_t i = 0; i < items_.size(); ++i) {
        const Item& item = items_[i];
        const TreeSource& t = item.source;
        const QString name = q(t.name);
        if (t.name.empty() || t.name.find_first_of("[]\r\n") != std::string::npos) {
            why = tr("A tree needs a name without brackets.");
            return false;
        }
        for (std::size_t j = 0; j < i; ++j)
            if (kvx::client::names::equalNoCase(items_[j].source.name, t.name)) {
                why = tr("Two trees are named %1.").arg(name);
                return false;
            }
        if (item.system)
            continue;
        if (t.url.empty() && t.folder.empty()) {
            why = tr("The tree %1 needs a folder.").arg(name);
            return false;
        }
        if (!t.url.empty() && t.url.rfind("ldap://", 0) != 0 && t.url.rfind("ldaps://", 0) != 0 &&
            t.url.rfind("ldapi://", 0) != 0) {
            why = tr("The URL of the tree %1 must start with ldap://, ldaps:// or ldapi://.")
                      .arg(name);
            return false;
        }
        if (!t.url.empty() && t.url.find("://") + 3 == t.url.size() &&
            t.url.rfind("ldapi://", 0) != 0) {
            why = tr("The URL of the tree %1 names no server.").arg(name);
            return false;
        }
        if (!t.bindDn.empty() && t.sasl.empty() && item.password.empty() &&
            item.originalName.empty() && !(item.passwordInFile && exists(t.passwordFile))) {
            why = tr("Enter the password of the tree %1.").arg(name);
            return false;
        }
        if (item.passwordInFile && t.passwordFile.empty()) {
            why = tr("Name the password file of the tree %1.").arg(name);
            return false;
        }
    }
    return true;
}

bool TfrmDirectories::savePasswords(QString& why) {
    for (const Item& item : items_) {
        const TreeSource& t = item.source;
        if (item.system || t.bindDn.empty() || !t.sasl.empty())
            continue;
        std::string error;
        if (item.passwordInFile) {
            if (item.password.empty())
                continue;
            if (!kvx::client::writeFileAtomically(t.passwordFile, item.password + "\n", error,
                                                  0600) ||
                ::chmod(t.passwordFile.c_str(), 0600) != 0) {
                why = q(error.empty() ? t.passwordFile + ": cannot be made private" : error);
                return false;
            }
            continue;
        }
        std::string password = item.password;
        const bool renamed = !item.originalName.empty() &&
                             !kvx::client::names::equalNoCase(item.originalName, t.name);
        if (password.empty() && renamed)
            keyring_->read(item.originalName, password, error);
        if (password.empty())
            continue;
        if (!keyring_->write(t.name, password, error)) {
            why = tr("The password of the tree %1 cannot be kept in the keyring: %2.\n"
                     "Choose \"In a password file (mode 600)\" instead.")
                      .arg(q(t.name), q(error));
            return false;
        }
        if (renamed)
            keyring_->remove(item.originalName, error);
    }
    return true;
}

void TfrmDirectories::cmdOKClick() {
    readForm();
    QString why;
    if (!validate(why) || !savePasswords(why)) {
        kvx::app::ShowMessage(this, why);
        return;
    }
    kvx::client::ConfigDocument doc(userText_);
    for (const std::string& name : removed_) {
        bool kept = false;
        for (const Item& i : items_)
            kept = kept || kvx::client::names::equalNoCase(i.originalName, name);
        if (!kept)
            doc.removeSection(kvx::client::treeSection(name));
    }
    for (const Item& item : items_)
        if (!item.system)
            kvx::client::putTree(doc, item.source, item.originalName);
    if (doc.value("Client", "DefaultTree")) {
        // The default tree follows a rename; one that is no longer configured would make the
        // file fail to load.
        const std::string def = *doc.value("Client", "DefaultTree");
        bool known = false;
        for (const Item& i : items_) {
            if (kvx::client::names::equalNoCase(i.originalName, def) && !i.system) {
                doc.setValue("Client", "DefaultTree", i.source.name);
                known = true;
                break;
            }
            known = known || kvx::client::names::equalNoCase(i.source.name, def);
        }
        if (!known)
            doc.removeKey("Client", "DefaultTree");
    }
    std::string error;
    if (!kvx::client::writeFileAtomically(userFile_, doc.text(), error)) {
        kvx::app::ShowMessage(this, q(error));
        return;
    }
    chosenTree_ =
        current_ >= 0 ? q(items_[static_cast<std::size_t>(current_)].source.name) : QString();
    accept();
}

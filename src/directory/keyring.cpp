#include "keyring.h"

#include <qt6keychain/keychain.h>

#include <QEventLoop>
#include <QTimer>

namespace kvx::directory {

namespace {

const QString kService = QStringLiteral("korvanex");

QString keyOf(const std::string& tree) {
    return QString::fromStdString(tree).toLower();
}

// Runs a job to its end in an event loop of this thread; false with `error` when it failed.
bool runJob(QKeychain::Job& job, std::string& error) {
    QEventLoop loop;
    bool finished = false;
    QObject::connect(&job, &QKeychain::Job::finished, &loop, [&]() {
        finished = true;
        loop.quit();
    });
    QTimer::singleShot(25000, &loop, &QEventLoop::quit);
    job.setAutoDelete(false);
    job.start();
    if (!finished)
        loop.exec();
    if (!finished) {
        error = "the keyring did not answer (is it locked, waiting for its password?)";
        return false;
    }
    switch (job.error()) {
    case QKeychain::NoError:
        return true;
    case QKeychain::EntryNotFound:
        error = "the keyring holds no password for this tree";
        break;
    case QKeychain::AccessDeniedByUser:
    case QKeychain::AccessDenied:
        error = "the keyring refused access (it may be locked)";
        break;
    case QKeychain::NoBackendAvailable:
        error = "no keyring is available (no Secret Service on the session bus)";
        break;
    default:
        error = "the keyring failed: " + job.errorString().toStdString();
    }
    return false;
}

class DesktopKeyring : public Keyring {
public:
    bool read(const std::string& tree, std::string& password, std::string& error) override {
        if (!sessionBus(error))
            return false;
        QKeychain::ReadPasswordJob job(kService);
        job.setInsecureFallback(false);
        job.setKey(keyOf(tree));
        if (!runJob(job, error))
            return false;
        password = job.textData().toStdString();
        return true;
    }
    bool write(const std::string& tree, const std::string& password, std::string& error) override {
        if (!sessionBus(error))
            return false;
        QKeychain::WritePasswordJob job(kService);
        job.setInsecureFallback(false);
        job.setKey(keyOf(tree));
        job.setTextData(QString::fromStdString(password));
        return runJob(job, error);
    }
    bool remove(const std::string& tree, std::string& error) override {
        if (!sessionBus(error))
            return false;
        QKeychain::DeletePasswordJob job(kService);
        job.setInsecureFallback(false);
        job.setKey(keyOf(tree));
        return runJob(job, error) || error == "the keyring holds no password for this tree";
    }

private:
    static bool sessionBus(std::string& error) {
        if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
            return true;
        error = "no keyring is available (this run has no desktop session bus)";
        return false;
    }
};

} // namespace

std::unique_ptr<Keyring> makeDesktopKeyring() {
    return std::make_unique<DesktopKeyring>();
}

std::string noKeyringAdvice(const std::string& tree) {
    return "Without a keyring, put the password alone in a file that only you can read "
           "(chmod 600) and name it in the tree's section of ~/.config/korvanex/client.conf: "
           "[Tree " +
           tree + "] PasswordFile=/path/to/file";
}

void useKeyringForPasswords(std::shared_ptr<Keyring> keyring) {
    if (!keyring) {
        client::setPasswordSource({});
        return;
    }
    client::setPasswordSource([keyring](const std::string& tree) {
        client::PasswordLookup out;
        out.found = keyring->read(tree, out.password, out.error);
        return out;
    });
}

} // namespace kvx::directory

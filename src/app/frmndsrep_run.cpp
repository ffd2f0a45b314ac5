// A report run that stays in the user's hands. The search runs on the window's thread as
// always; between entries it hands control back here, and about ten times a second the
// window shows the rows found so far and the progress, and handles its events: it repaints,
// moves, scrolls, and takes the Cancel button, Esc, or a close. Controls that would change the
// run are disabled while it goes. SIGINT and SIGTERM stop a run the same way as Cancel, so an
// unattended run stopped by `timeout` or a scheduler leaves a file complete up to its last row.
#include "app/frmndsrep.h"

#include "app/messages.h"
#include "ui_frmndsrep.h"

#include <QApplication>
#include <QKeySequence>
#include <QLabel>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>

#include <csignal>

namespace {

volatile std::sig_atomic_t stopSignal = 0;

extern "C" void onStopSignal(int signal) {
    stopSignal = signal;
}

struct sigaction savedInt {};
struct sigaction savedTerm {};

// How often a run shows its progress and handles window events.
constexpr qint64 kPumpMilliseconds = 100;

QString progressText(std::int32_t objects, qint64 milliseconds) {
    const qint64 seconds = milliseconds / 1000;
    return QStringLiteral("Objects found %1   Elapsed %2:%3")
        .arg(objects)
        .arg(seconds / 60)
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

void TfrmKorvanex::beginRun() {
    runActive_ = true;
    cancelRequested_ = false;
    runCancelled_ = false;
    runStoppedBySignal_ = 0;
    stopSignal = 0;
    struct sigaction stop {};
    stop.sa_handler = onStopSignal;
    stop.sa_flags = SA_RESTART; // a call under way (a server read) goes on; the stop comes after it
    sigemptyset(&stop.sa_mask);
    sigaction(SIGINT, &stop, &savedInt);
    sigaction(SIGTERM, &stop, &savedTerm);

    // What would change the run: the pages that feed it (Start is on the Output page), Load
    // and Exit. The results list stays usable; a closing window asks for a cancel first.
    for (QWidget* page : {ui->TabSheet1, ui->TabSheet2, ui->TabSheet3}) {
        page->setEnabled(false);
    }
    ui->cmdLoad->setEnabled(false);
    ui->Exit1->setEnabled(false);
    connect(ui->cmdCancel, &QPushButton::clicked, this, &TfrmKorvanex::cmdCancelClick,
            Qt::UniqueConnection);
    ui->cmdCancel->setEnabled(true);
    ui->cmdCancel->setShortcut(QKeySequence(Qt::Key_Escape));
    if (StatusBar1Panel3 == nullptr) {
        StatusBar1Panel3 = new QLabel(ui->StatusBar1);
        StatusBar1Panel3->setObjectName(QStringLiteral("StatusBar1Panel3"));
        StatusBar1Panel3->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        ui->StatusBar1->addPermanentWidget(StatusBar1Panel3);
    }
    StatusBar1Panel3->setText(progressText(0, 0));
    runClock_.start();
    runPumped_.start();
}

void TfrmKorvanex::endRun() {
    runStoppedBySignal_ = stopSignal;
    sigaction(SIGINT, &savedInt, nullptr);
    sigaction(SIGTERM, &savedTerm, nullptr);
    for (QWidget* page : {ui->TabSheet1, ui->TabSheet2, ui->TabSheet3}) {
        page->setEnabled(true);
    }
    ui->cmdLoad->setEnabled(true);
    ui->Exit1->setEnabled(true);
    ui->cmdCancel->setEnabled(false);
    runActive_ = false;
}

bool TfrmKorvanex::runProceed(std::int32_t objects, const std::function<void()>& publishRows) {
    if (cancelRequested_ || stopSignal != 0) {
        return false;
    }
    if (runPumped_.elapsed() < kPumpMilliseconds) {
        return true;
    }
    publishRows();
    StatusBar1Panel3->setText(progressText(objects, runClock_.elapsed()));
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    runPumped_.start();
    return !cancelRequested_ && stopSignal == 0;
}

bool TfrmKorvanex::runStopRequested() const {
    return runActive_ && (cancelRequested_ || stopSignal != 0);
}

void TfrmKorvanex::cmdCancelClick() {
    if (runActive_) {
        cancelRequested_ = true;
    }
}

// Called by RunProcess once the output file is closed: the last word of a run that was stopped.
// False when the run went to its end.
bool TfrmKorvanex::finishStoppedRun(std::int32_t objects) {
    if (StatusBar1Panel3 != nullptr) {
        StatusBar1Panel3->setText(progressText(objects, runClock_.elapsed()));
    }
    if (runStoppedBySignal_ != 0) {
        setStatus(QStringLiteral("Cancelled"));
        kvx::app::ShowMessage(
            this, QStringLiteral("The report was stopped by %1. The output file holds every row "
                                 "found before the stop.")
                      .arg(runStoppedBySignal_ == SIGINT ? QStringLiteral("SIGINT")
                                                         : QStringLiteral("SIGTERM")));
        // A stop signal ends the program, as it would have without a run.
        QTimer::singleShot(0, this, [this]() { close(); });
        return true;
    }
    if (runCancelled_) {
        setStatus(QStringLiteral("Cancelled"));
        return true;
    }
    return false;
}

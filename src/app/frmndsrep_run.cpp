// A report run that stays in the user's hands. The search runs on the window's thread as
// always; between entries it hands control back here, and about ten times a second the
// window shows the rows found so far and the progress, and handles its events: it repaints,
// moves, scrolls, and takes the Cancel button, Esc, or a close. Controls that would change the
// run are disabled while it goes. SIGINT and SIGTERM stop a run the same way as Cancel, so an
// unattended run stopped by `timeout` or a scheduler leaves its rows, each line whole, in the
// report file's `.partial`, and the last good report where it was.
#include "app/frmndsrep.h"

#include "app/messages.h"
#include "results/resultsmodel.h"
#include "ui_frmndsrep.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
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

namespace {

// Where the rows of a run that did not complete are, for the message that ends it.
QString rowsKeptText(const kvx::report::ReportFile& file, const QString& before) {
    const QString target = QString::fromStdString(file.target());
    const QString partial = QString::fromStdString(file.partialName());
    if (!file.partialKept()) {
        return QStringLiteral("%1 is left as it was.").arg(target);
    }
    if (partial == target) {
        return QStringLiteral("The rows found before the %1 are in %2.").arg(before, target);
    }
    return QStringLiteral("The rows found before the %1 are in %2; %3 is left as it was.")
        .arg(before, partial, target);
}

} // namespace

void TfrmKorvanex::endRunSinks(kvx::report::RunEnd how) {
    using kvx::report::ReportFile;
    using kvx::report::RunEnd;
    // The report's rows are the baseline of the next run only when they reached their file.
    bool fileFailed = false;
    if (runFile_ != nullptr) {
        runFile_->end(how);
        fileFailed = runFile_->outcome() == ReportFile::Outcome::WriteFailed;
    }
    for (const auto& sink : runSinks_) {
        if (sink.get() != runFile_) {
            sink->end(fileFailed && how == RunEnd::Completed ? RunEnd::Failed : how);
        }
    }
    if (runChanges_ != nullptr && runOutputToWindow_) {
        changes_->endBulk();
    }
    showChangeSummary();
    if (StatusBar1Panel3 != nullptr) {
        StatusBar1Panel3->setText(progressText(runObjects_, runClock_.elapsed()));
    }
    // A stop signal ends the program once the run is ended, as it would have without a run.
    const auto closeAfterStop = [this, how]() {
        if (how == RunEnd::Stopped) {
            QTimer::singleShot(0, this, [this]() { close(); });
        }
    };
    if (runFile_ != nullptr && runFile_->outcome() == ReportFile::Outcome::WriteFailed) {
        // A report cut short by a full disk or an error is never passed off as finished.
        setStatus(QStringLiteral("Output file incomplete"));
        kvx::app::ShowMessage(
            this, QStringLiteral("Cannot write the output file. The report in it is incomplete."));
        closeAfterStop();
        return;
    }
    switch (how) {
    case RunEnd::Completed:
        noteAnonymousEmptyRun();
        if (runFile_ != nullptr && runFile_->sheets() > 1) {
            // Never a silent cut: more rows than a sheet holds continue on further sheets.
            const QString sheets = QString::number(runFile_->sheets());
            setStatus(QStringLiteral("Finished: %1 sheets written").arg(sheets));
            kvx::app::ShowMessage(this,
                                  QStringLiteral("The report has more rows than a sheet holds. "
                                                 "It was written to %1 sheets of %2.")
                                      .arg(sheets, QString::fromStdString(runFile_->target())),
                                  kvx::app::MessageKind::Notice);
        } else {
            setStatus(QStringLiteral("Finished"));
        }
        if (runFile_ != nullptr && runChanges_ == nullptr) {
            // Where the report went, whatever folder a relative name resolved to (a report of
            // changes says what changed there instead).
            setPanel2(
                QStringLiteral("Written to %1")
                    .arg(QDir::toNativeSeparators(
                        QFileInfo(QString::fromStdString(runFile_->target())).absoluteFilePath())));
        }
        StatusBar1Panel1->repaint();
        if (runFile_ != nullptr && runFile_->shortenedCells() > 0) {
            kvx::app::ShowMessage(
                this,
                QStringLiteral("%1 values were longer than a workbook cell holds (32,767 "
                               "characters) and were shortened in %2. A text file keeps them "
                               "whole.")
                    .arg(runFile_->shortenedCells())
                    .arg(QString::fromStdString(runFile_->target())),
                kvx::app::MessageKind::Notice);
        }
        return;
    case RunEnd::Failed:
        // The failure itself has been reported; the file's message says what became of it.
        setStatus(QStringLiteral("Failed"));
        if (runFile_ != nullptr) {
            kvx::app::ShowMessage(this, QStringLiteral("The report did not finish. ") +
                                            rowsKeptText(*runFile_, QStringLiteral("failure")));
        }
        return;
    case RunEnd::Cancelled:
        setStatus(QStringLiteral("Cancelled"));
        if (runFile_ != nullptr) {
            kvx::app::ShowMessage(this,
                                  QStringLiteral("The report was cancelled. ") +
                                      rowsKeptText(*runFile_, QStringLiteral("cancel")),
                                  kvx::app::MessageKind::Notice);
        }
        return;
    case RunEnd::Stopped:
        setStatus(QStringLiteral("Cancelled"));
        kvx::app::ShowMessage(
            this, QStringLiteral("The report was stopped by %1.")
                          .arg(runStoppedBySignal_ == SIGINT ? QStringLiteral("SIGINT")
                                                             : QStringLiteral("SIGTERM")) +
                      (runFile_ != nullptr
                           ? QStringLiteral(" ") + rowsKeptText(*runFile_, QStringLiteral("stop"))
                           : QString()));
        closeAfterStop();
        return;
    }
}

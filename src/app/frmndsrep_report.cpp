// The window side of a report run: the checks of Start, the output file, the search feeding the
// results list, and sorting and copying the results.
#include "app/frmndsrep.h"

#include "app/filedialogs.h"
#include "app/messages.h"
#include "app/waitcursor.h"
#include "directory/searchcriteria.h"
#include "report/changes.h"
#include "report/search.h"
#include "results/resultsmodel.h"
#include "settings/batchfile.h"
#include "ui_frmndsrep.h"

#include <QApplication>
#include <QClipboard>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QTimer>
#include <QTreeView>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <limits>
#include <string_view>
#include <unordered_map>

namespace {

kvx::ReportMode reportModeOf(const Ui::TfrmKorvanex& ui) {
    if (ui.optResultsNonTabular->isChecked()) {
        return kvx::ReportMode::NonTabular;
    }
    if (ui.optResultsTabularCross->isChecked()) {
        return kvx::ReportMode::TabularCross;
    }
    return kvx::ReportMode::Tabular;
}

// Receives what the search produces and puts it into the window.
class WindowSearchSink : public kvx::report::SearchSink {
public:
    WindowSearchSink(TfrmKorvanex& window, QTreeView& view, kvx::ResultsModel& model,
                     const std::function<void(const std::string&)>& status,
                     const std::function<void(const std::string&, NWDSCCODE)>& failure,
                     const std::function<void(const kvx::report::ResultRow&)>& row,
                     const std::function<void(int, bool)>& size,
                     const std::function<bool(std::int32_t, const std::function<void()>&)>& proceed)
        : window_(window), view_(view), model_(model), status_(status), failure_(failure),
          row_(row), size_(size), proceed_(proceed), publish_([this]() { publishRows(); }) {}
    ~WindowSearchSink() override { endBulk(); }
    WindowSearchSink(const WindowSearchSink&) = delete;
    WindowSearchSink& operator=(const WindowSearchSink&) = delete;

    void status(const std::string& text) override { status_(text); }
    void failure(const std::string& call, NWDSCCODE code) override {
        endBulk(); // rows handed out so far show behind the message
        failure_(call, code);
    }
    void clearRows() override { model_.clear(); }
    void setColumns(const std::vector<kvx::report::SearchColumn>& columns) override {
        std::vector<kvx::ResultColumn> modelColumns;
        modelColumns.reserve(columns.size());
        for (const auto& c : columns) {
            modelColumns.push_back(kvx::ResultColumn{c.caption, c.sortKind});
        }
        model_.setColumns(std::move(modelColumns));
        // Every column starts visible; only this search may hide one.
        for (int c = 0; c < model_.columnCount(); ++c) {
            view_.setColumnHidden(c, false);
            view_.header()->resizeSection(c, kvx::ResultColumn::DefaultWidth);
        }
        model_.beginBulk();
        inBulk_ = true;
    }
    void row(const kvx::report::ResultRow& cells) override { row_(cells); }
    void searchComplete() override {
        endBulk();
        window_.repaint();
    }
    void fitColumn(int column) override { size_(column, false); }
    void hideColumn(int column) override { size_(column, true); }
    bool proceed(std::int32_t objectsFound) override { return proceed_(objectsFound, publish_); }

private:
    // The rows so far show in the list; the next ones are gathered again. The list lays out
    // all its rows whenever rows are added, so the more it holds the less often it is told:
    // a tenth of a second apart at first, two seconds at a million rows.
    void publishRows() {
        const auto rows = static_cast<qint64>(model_.rows());
        if (!inBulk_ || (published_.isValid() && published_.elapsed() < 100 + rows / 500)) {
            return;
        }
        model_.endBulk();
        model_.beginBulk();
        published_.start();
    }

    void endBulk() {
        if (inBulk_) {
            inBulk_ = false;
            model_.endBulk();
        }
    }

    TfrmKorvanex& window_;
    QTreeView& view_;
    kvx::ResultsModel& model_;
    const std::function<void(const std::string&)>& status_;
    const std::function<void(const std::string&, NWDSCCODE)>& failure_;
    const std::function<void(const kvx::report::ResultRow&)>& row_;
    const std::function<void(int, bool)>& size_;
    const std::function<bool(std::int32_t, const std::function<void()>&)>& proceed_;
    const std::function<void()> publish_;
    QElapsedTimer published_;
    bool inBulk_ = false;
};

// Widths of texts in one font, added up character by character with each character measured
// once, so that a column of a million cells is sized without laying out every cell. Kerning
// makes a laid-out text at most a little narrower than the sum, never much wider.
class CellWidthEstimator {
public:
    explicit CellWidthEstimator(const QFontMetrics& metrics) : metrics_(metrics) {
        for (int c = 0; c < 128; ++c) {
            ascii_[static_cast<std::size_t>(c)] = metrics_.horizontalAdvance(QChar(c));
        }
    }

    // Capped, so that no text, however long, overflows the sum.
    int estimate(std::string_view text) {
        constexpr std::int64_t kMost = std::numeric_limits<int>::max() / 2;
        std::int64_t width = 0;
        std::size_t i = 0;
        while (i < text.size()) {
            const auto lead = static_cast<unsigned char>(text[i]);
            if (lead < 0x80) {
                width += ascii_[lead];
                ++i;
                if (width > kMost) {
                    return static_cast<int>(kMost);
                }
                continue;
            }
            // One UTF-8 sequence; a byte that starts none counts as a character of its own.
            std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
            for (std::size_t k = 1; k < length; ++k) {
                if (i + k >= text.size() ||
                    (static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) {
                    length = 1;
                    break;
                }
            }
            std::uint32_t key = 0;
            for (std::size_t k = 0; k < length; ++k) {
                key = (key << 8) | static_cast<unsigned char>(text[i + k]);
            }
            auto found = other_.find(key);
            if (found == other_.end()) {
                found = other_
                            .emplace(key, metrics_.horizontalAdvance(QString::fromUtf8(
                                              text.data() + i, static_cast<qsizetype>(length))))
                            .first;
            }
            width += found->second;
            i += length;
            if (width > kMost) {
                return static_cast<int>(kMost);
            }
        }
        return static_cast<int>(width);
    }

private:
    const QFontMetrics& metrics_;
    std::array<int, 128> ascii_{};
    std::unordered_map<std::uint32_t, int> other_;
};

} // namespace

QString TfrmKorvanex::statusText(int panel) const {
    return panel == 0 ? StatusBar1Panel1->text() : panel2Text_;
}

void TfrmKorvanex::setStatus(const QString& text) {
    StatusBar1Panel1->setText(text);
    // Every text is set, but the panel is painted at most 25 times a second: a search of a
    // million objects sets thousands of texts, and painting each cost more than the search.
    if (isVisible() && (!statusPainted_.isValid() || statusPainted_.elapsed() >= 40)) {
        StatusBar1Panel1->repaint();
        statusPainted_.start();
    }
}

void TfrmKorvanex::RunProcess() {
    const kvx::directory::NodeRecord* start = nodeRecord(ui->tvwNDS->currentItem());
    if (start == nullptr) {
        kvx::app::ShowMessage(this, QStringLiteral("Select the starting point in the NDS Tree"));
        return;
    }
    const QListWidgetItem* chosenClass = ui->lstNDSClasses->currentItem();
    if (chosenClass == nullptr || !chosenClass->isSelected()) {
        kvx::app::ShowMessage(
            this, QStringLiteral("Select the Object Class  (User, Group, etc) to search"));
        return;
    }
    const kvx::directory::SearchFilterFault filterFault = kvx::directory::FindSearchFilterFault(
        directoryContext_, ui->txtSearchFilter->text().toStdString());
    if (!filterFault.message.empty()) {
        showFilterFault(QString::fromStdString(filterFault.message), filterFault.position);
        return;
    }

    runOutputToWindow_ = ui->chkOutputWindow->isChecked();
    runOutputToFile_ = ui->chkOutputFile->isChecked();
    runColumnHeaders_ = ui->chkOutputColumnHeaders->isChecked();
    if (!runOutputToWindow_ && !runOutputToFile_) {
        kvx::app::ShowMessage(
            this, QStringLiteral("You have not selected output to either File or Screen"));
        return;
    }
    // Every check comes before the output file is opened: a run that stops at one leaves the
    // report of the last run untouched.
    if (ui->optResultsTabularCross->isChecked() && ui->cboAttributeMulti->currentText().isEmpty()) {
        kvx::app::ShowMessage(
            this, QStringLiteral("An Attribute must be selected for a Tabular Cross report"));
        return;
    }

    std::vector<kvx::report::ReportAttribute> attributes;
    for (int i = 0; i < ui->lvwSelectedAttributes->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* row = ui->lvwSelectedAttributes->topLevelItem(i);
        attributes.push_back({row->text(0).toStdString(),
                              kvx::report::CellKindOfSyntax(row->text(2).toStdString())});
    }

    // The rows of the last run's changes give way to this run's.
    showRows(results_);
    changes_->clear();
    ui->cmdShowChanges->setChecked(false);
    ui->cmdShowChanges->setVisible(false);
    ui->lblChangeSummary->clear();

    // The window takes no input while a run holds it, so one run writes one separator and one
    // quoting throughout; they are read once here.
    runSinks_.clear();
    runFile_ = nullptr;
    if (runOutputToFile_) {
        auto file = std::make_unique<kvx::report::ReportFile>(
            ui->txtOutputFilename->text().toStdString(),
            kvx::report::FileLayout{.separator = ui->txtOutputSeparator->text().toStdString(),
                                    .quote = ui->chkOutputEncloseQuotes->isChecked(),
                                    .headers = runColumnHeaders_});
        if (!file->open()) {
            kvx::app::ShowMessage(
                this, QStringLiteral("Cannot Open Output File. Check the filename and path."));
            return;
        }
        runFile_ = file.get();
        runSinks_.push_back(std::move(file));
    }
    runChanges_ = nullptr;
    if (auto changes = makeChangeSink()) {
        runChanges_ = changes.get();
        runSinks_.push_back(std::move(changes));
    }

    // From here on the sinks are open: whatever ends the run (an exception included), each is
    // told how it ended, and only a completed run replaces the last report.
    bool failed = false;
    runCompleted_ = false;
    runCancelled_ = false;
    runStoppedBySignal_ = 0;
    const auto endRunByError = [&](const QString& what) {
        failed = true;
        kvx::app::ShowFrameworkError(this, what);
    };
    try {
        const auto columns = kvx::report::ReportColumns(reportModeOf(*ui), attributes);
        for (const auto& sink : runSinks_) {
            sink->columns(columns);
        }
        if (attributes.empty()) {
            kvx::app::ShowMessage(
                this,
                QStringLiteral(
                    "No Attributes have been selected. Only object names will be listed"),
                kvx::app::MessageKind::Notice);
        }

        ui->PageControl1->setCurrentWidget(ui->TabSheet4);
        repaintWindow();
        kvx::app::WaitCursor wait;
        repaintWindow();
        setStatus(QStringLiteral("Start Search"));

        beginRun();
        DoSearch();
        noteTreeReason();
        if (runObjects_ == 0 && !runCancelled_) {
            const std::string notice = kvx::directory::EmptyReportNotice(
                directoryContext_, ui->txtSearchFilter->text().toStdString());
            if (!notice.empty()) {
                kvx::app::ShowMessage(this, QString::fromStdString(notice),
                                      kvx::app::MessageKind::Notice);
            }
        }
    } catch (const std::exception& error) {
        endRunByError(QString::fromLocal8Bit(error.what()));
    } catch (...) {
        endRunByError(QStringLiteral("Unknown error"));
    }
    if (runActive_) {
        endRun(); // the controls come back however the run ended
    }
    using kvx::report::RunEnd;
    endRunSinks(failed || (!runCompleted_ && !runCancelled_) ? RunEnd::Failed
                : runStoppedBySignal_ != 0                   ? RunEnd::Stopped
                : runCancelled_                              ? RunEnd::Cancelled
                                                             : RunEnd::Completed);
    if (quitAfterRun_) {
        // The user chose to stop the report and quit while it ran.
        QTimer::singleShot(0, this, [this]() { close(); });
    }
}

void TfrmKorvanex::cmdOutputBrowseClick() {
    const QString chosen = kvx::app::getOutputFileName(this, ui->txtOutputFilename->text());
    if (!chosen.isEmpty()) {
        ui->txtOutputFilename->setText(QDir::toNativeSeparators(chosen));
    }
}

void TfrmKorvanex::showOutputFolder() {
    // A relative name is written in the working folder: the label says which folder that is.
    const QString name = ui->txtOutputFilename->text();
    QString shown;
    if (!name.isEmpty() && QFileInfo(name).isRelative()) {
        shown = QStringLiteral("Folder: %1")
                    .arg(QDir::toNativeSeparators(QFileInfo(name).absolutePath()));
    }
    ui->lblOutputFolder->setToolTip(shown);
    const int room = std::max(ui->GroupBox2->maximumWidth() - 24, 100);
    ui->lblOutputFolder->setText(
        ui->lblOutputFolder->fontMetrics().elidedText(shown, Qt::ElideMiddle, room));
}

void TfrmKorvanex::noteAnonymousEmptyRun() {
    // Nothing found over an anonymous bind may be the server hiding entries, not their absence.
    bool anonymous = false;
    if (runObjects_ == 0 && directoryContext_ > 0 &&
        NWDSGetTreeBindAnonymous(directoryContext_, anonymous) == 0 && anonymous) {
        kvx::app::ShowMessage(
            this,
            QStringLiteral("No object was found. The directory was read with an anonymous bind, "
                           "and servers often hide entries from anonymous users: give the tree "
                           "a bind DN and password under File, Directories…"),
            kvx::app::MessageKind::Notice);
    }
}

std::unique_ptr<kvx::report::ChangeSink> TfrmKorvanex::makeChangeSink() {
    if (!ui->chkOutputChanges->isChecked()) {
        return nullptr;
    }
    const kvx::directory::NodeRecord* start = nodeRecord(ui->tvwNDS->currentItem());
    const kvx::ReportMode mode = reportModeOf(*ui);
    kvx::report::ChangeSink::Setup setup;
    kvx::report::BaselineIdentity& identity = setup.identity;
    identity.tree = openedTreeName_;
    identity.base = start != nullptr ? start->distinguishedName : std::string();
    identity.objectClass = ui->lstNDSClasses->currentItem()->text().toStdString();
    identity.mode = kvx::report::ReportModeName(mode);
    if (mode == kvx::ReportMode::TabularCross) {
        identity.expanded = ui->cboAttributeMulti->currentText().toStdString();
    }
    // A saved report run unattended keeps its baseline by its settings file; a report run from
    // the window keeps its own, by what it reports and where it writes.
    const std::string outputName = ui->txtOutputFilename->text().toStdString();
    std::string label = "window";
    std::optional<std::string> settingsFile;
    if (runUnattended_ && !batchSettingsFileName_.isEmpty()) {
        settingsFile = kvx::settings::locateBatchSettingsFile(batchSettingsFileName_.toStdString());
    }
    if (settingsFile) {
        std::error_code ec;
        const std::filesystem::path absolute = std::filesystem::absolute(*settingsFile, ec);
        identity.report = "settings " + (ec ? *settingsFile : absolute.lexically_normal().string());
        label = std::filesystem::path(*settingsFile).stem().string();
    } else {
        identity.report = "window " + identity.tree + '\n' + identity.base + '\n' +
                          identity.objectClass + '\n' + identity.mode + '\n' + identity.expanded +
                          '\n' + outputName;
    }
    setup.baselinePath = kvx::report::BaselineFileFor(label, identity.report);
    setup.mode = mode;
    setup.expandedAttribute = ui->cboAttributeMulti->currentText().toStdString();
    for (int i = 0; i < ui->lvwSelectedAttributes->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* row = ui->lvwSelectedAttributes->topLevelItem(i);
        setup.columns.push_back(
            {row->text(0).toStdString(), row->text(1) == QLatin1String("Single")});
    }
    // Beside an output that is a device or a pipe there is no place for a change file.
    std::error_code ec;
    const auto outputType = std::filesystem::status(outputName, ec).type();
    if (runOutputToFile_ && (outputType == std::filesystem::file_type::regular ||
                             outputType == std::filesystem::file_type::not_found)) {
        setup.changeFile = kvx::report::ChangeFileName(outputName);
        setup.layout = {.separator = ui->txtOutputSeparator->text().toStdString(),
                        .quote = ui->chkOutputEncloseQuotes->isChecked()};
    }
    setup.now = []() { return QDateTime::currentSecsSinceEpoch(); };
    std::vector<kvx::ResultColumn> columns;
    for (const std::string& caption : kvx::report::ChangeHeader()) {
        columns.push_back(kvx::ResultColumn{caption, 0});
    }
    changes_->setColumns(std::move(columns));
    if (runOutputToWindow_) {
        // Announced to the list at once when the run has ended (endRunSinks).
        changes_->beginBulk();
        setup.alsoTo = [this](std::span<const std::string> row) { changes_->appendRow(row); };
    }
    return std::make_unique<kvx::report::ChangeSink>(std::move(setup));
}

void TfrmKorvanex::showChangeSummary() {
    const kvx::report::ChangeSummary* summary =
        runChanges_ != nullptr ? runChanges_->summary() : nullptr;
    if (summary == nullptr) {
        return; // the run did not complete: nothing was compared or kept
    }
    for (int c = 0; c < changes_->columnCount(); ++c) {
        changes_->setColumnWidth(c, fittedWidth(*changes_, c));
    }
    if (!summary->refused.empty()) {
        kvx::app::ShowMessage(this, QString::fromStdString(summary->refused),
                              kvx::app::MessageKind::Notice);
    }
    const QString text = QString::fromStdString(summary->text());
    const QString columnsText = QString::fromStdString(summary->columnsText());
    setPanel2(text);
    ui->lblChangeSummary->setText(
        columnsText.isEmpty() ? text : text + QStringLiteral(". ") + columnsText);
    ui->cmdShowChanges->setVisible(runOutputToWindow_);
    if (runUnattended_) {
        // The summary of a scheduled run goes where its other messages go; it is no failure.
        for (const QString& line : {text, columnsText}) {
            if (!line.isEmpty()) {
                kvx::app::writeMessageToStderr(
                    this, {QStringLiteral("Korvanex"), line, kvx::app::MessageKind::Notice});
            }
        }
    }
    if (!runChanges_->changeFile().empty() && !runChanges_->changeFileWritten()) {
        kvx::app::ShowMessage(this, QStringLiteral("Cannot write the change file %1.")
                                        .arg(QString::fromStdString(runChanges_->changeFile())));
    }
    if (!summary->baselineWritten) {
        kvx::app::ShowMessage(
            this, QStringLiteral("Cannot keep this run as the baseline of the next one (%1: %2). "
                                 "The next run compares with the previous baseline.")
                      .arg(QString::fromStdString(runChanges_->baselinePath()),
                           QString::fromStdString(summary->baselineError)));
    }
}

kvx::ResultsModel* TfrmKorvanex::shownRows() const {
    return ui->cmdShowChanges->isChecked() ? changes_ : results_;
}

void TfrmKorvanex::cmdShowChangesClick(bool show) {
    showRows(show ? changes_ : results_);
    ui->cmdShowChanges->setText(show ? QStringLiteral("Show Report")
                                     : QStringLiteral("Show Changes"));
}

void TfrmKorvanex::showRows(kvx::ResultsModel* rows) {
    if (ui->lvwSearch->model() == rows) {
        return;
    }
    // The list lays out the other rows' columns as they were recorded; a column of width 0
    // stays hidden (and out of copies).
    swappingRows_ = true;
    ui->lvwSearch->setModel(rows);
    for (int c = 0; c < rows->columnCount(); ++c) {
        const int width = rows->columnWidth(c);
        ui->lvwSearch->setColumnHidden(c, width == 0);
        if (width > 0) {
            ui->lvwSearch->header()->resizeSection(c, width);
        }
    }
    ui->lvwSearch->header()->setSectionsClickable(true); // a new model leaves them unclickable
    ui->lvwSearch->header()->setSortIndicator(-1, Qt::AscendingOrder);
    swappingRows_ = false;
}

void TfrmKorvanex::DoSearch() {
    const kvx::directory::NodeRecord* start = nodeRecord(ui->tvwNDS->currentItem());
    const QListWidgetItem* chosenClass = ui->lstNDSClasses->currentItem();

    kvx::report::SearchInput input;
    input.context = directoryContext_;
    input.base = start != nullptr ? start->distinguishedName : std::string();
    input.objectClass = chosenClass != nullptr ? chosenClass->text().toStdString() : std::string();
    input.mode = reportModeOf(*ui);
    input.expandedAttribute = ui->cboAttributeMulti->currentText().toStdString();
    input.hideEmptyColumns = ui->chkHideEmptyColumns->isChecked();
    input.searchFilter = ui->txtSearchFilter->text().toStdString();
    for (int i = 0; i < ui->lvwSelectedAttributes->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* row = ui->lvwSelectedAttributes->topLevelItem(i);
        input.attributes.push_back({row->text(0).toStdString(), attributeSortKind(row)});
    }

    const std::function<void(const std::string&)> status = [this](const std::string& text) {
        setStatus(QString::fromStdString(text));
    };
    // A stop signal breaks the client's wait for the server, and the call then fails because
    // of the stop: the run ends as stopped, not as failed.
    bool stoppedInCall = false;
    const std::function<void(const std::string&, NWDSCCODE)> failure =
        [this, &stoppedInCall](const std::string& call, NWDSCCODE code) {
            if (runStopRequested()) {
                stoppedInCall = true;
                return;
            }
            reportFailure(call, code);
        };
    const std::function<void(const kvx::report::ResultRow&)> row =
        [this](const kvx::report::ResultRow& cells) { OutputLineItem(cells); };
    const std::function<void(int, bool)> size = [this](int column, bool hide) {
        if (hide) {
            ui->lvwSearch->setColumnHidden(column, true);
            results_->setColumnWidth(column, 0);
        } else {
            fitResultColumn(column);
        }
    };

    const std::function<bool(std::int32_t, const std::function<void()>&)> proceed =
        [this](std::int32_t objects, const std::function<void()>& publishRows) {
            return runProceed(objects, publishRows);
        };

    WindowSearchSink sink(*this, *ui->lvwSearch, *results_, status, failure, row, size, proceed);
    const kvx::report::SearchOutcome outcome = kvx::report::DoSearch(input, sink);
    runCompleted_ = outcome.completed;
    runCancelled_ = outcome.cancelled || stoppedInCall;
    runObjects_ = outcome.objects;
}

void TfrmKorvanex::fitResultColumn(int column) {
    const int width = fittedWidth(*results_, column);
    ui->lvwSearch->header()->resizeSection(column, width);
    results_->setColumnWidth(column, width);
}

int TfrmKorvanex::fittedWidth(const kvx::ResultsModel& rows, int column) const {
    const QFontMetrics cellMetrics(ui->lvwSearch->font());
    const QFontMetrics headerMetrics(ui->lvwSearch->header()->font());
    const auto& columns = rows.columns();
    const QString caption =
        column < static_cast<int>(columns.size())
            ? QString::fromStdString(columns[static_cast<std::size_t>(column)].caption)
            : QString();
    // The widest cell is not always the one with the most characters ("WWW" against "iiii"),
    // so every cell is estimated, and the widest estimate is measured exactly as well.
    CellWidthEstimator estimator(cellMetrics);
    int cellWidth = 0;
    std::string_view widest;
    const auto cellColumn = static_cast<std::size_t>(column);
    for (std::size_t row = 0, count = rows.rows(); row < count; ++row) {
        const std::string_view text = rows.cell(row, cellColumn);
        const int width = estimator.estimate(text);
        if (width > cellWidth) {
            cellWidth = width;
            widest = text;
        }
    }
    if (!widest.empty()) {
        cellWidth = std::max(cellWidth, cellMetrics.horizontalAdvance(QString::fromUtf8(
                                            widest.data(), static_cast<qsizetype>(widest.size()))));
    }
    return std::max(headerMetrics.horizontalAdvance(caption) + 16, cellWidth + 12);
}

void TfrmKorvanex::OutputLineItem(const std::vector<std::string>& row) {
    if (row.empty()) {
        return;
    }
    if (runOutputToWindow_) {
        results_->appendRow(std::span<const std::string>(row));
    }
    for (const auto& sink : runSinks_) {
        sink->row(row);
    }
}

void TfrmKorvanex::outputFileNameChanged(const QString& name) {
    const bool delimited =
        kvx::report::FileFormOfName(name.toStdString()) == kvx::report::FileForm::Delimited;
    for (QWidget* control :
         {static_cast<QWidget*>(ui->Label3), static_cast<QWidget*>(ui->txtOutputSeparator),
          static_cast<QWidget*>(ui->chkOutputEncloseQuotes)}) {
        control->setEnabled(delimited);
    }
}

void TfrmKorvanex::lvwSearchColumnClick(int column) {
    if (column < 0 || runActive_) { // rows still arrive at the end of the list while a run goes
        return;
    }
    kvx::ResultsModel* rows = shownRows();
    const int sortKind = rows->sortKind(column);
    const int parameter = (rows == changes_ ? changesSortState_ : columnSortState_).click(column);
    rows->sortByParameter(parameter, sortKind);
    ui->lvwSearch->header()->setSortIndicator(
        column, kvx::SortParameterDescending(parameter) ? Qt::DescendingOrder : Qt::AscendingOrder);
}

void TfrmKorvanex::copySelectedResults() {
    std::vector<std::size_t> rows;
    for (const QModelIndex& index : ui->lvwSearch->selectionModel()->selectedRows()) {
        rows.push_back(static_cast<std::size_t>(index.row()));
    }
    if (rows.empty() && ui->lvwSearch->currentIndex().isValid()) {
        rows.push_back(static_cast<std::size_t>(ui->lvwSearch->currentIndex().row()));
    }
    if (rows.empty()) {
        return;
    }
    std::sort(rows.begin(), rows.end()); // in the order the list shows them
    const QHeaderView* header = ui->lvwSearch->header();
    std::vector<int> shownOrder;
    for (int visual = 0; visual < header->count(); ++visual) {
        shownOrder.push_back(header->logicalIndex(visual));
    }
    const std::string copied = shownRows()->clipboardText(shownOrder, {}, 1, rows);
    QGuiApplication::clipboard()->setText(
        QString::fromUtf8(copied.data(), static_cast<qsizetype>(copied.size())));
}

void TfrmKorvanex::CopyResultstoClipboard1Click() {
    kvx::app::WaitCursor wait;
    repaintWindow();
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    char text[64];
    // The columns as the user sees them, dragged into another order or not.
    const QHeaderView* header = ui->lvwSearch->header();
    std::vector<int> shownOrder;
    for (int visual = 0; visual < header->count(); ++visual) {
        shownOrder.push_back(header->logicalIndex(visual));
    }
    const std::string copied =
        shownRows()->clipboardText(shownOrder, [this, &text](std::size_t rowIndex) {
            std::snprintf(text, sizeof text, "Copying Row %ld", static_cast<long>(rowIndex));
            setStatus(QString::fromLatin1(text));
        });
    clipboard->setText(QString::fromUtf8(copied.data(), static_cast<qsizetype>(copied.size())));
    repaintWindow();
}

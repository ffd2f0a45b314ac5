// A run in the user's hands: a slow search shows its rows while it goes, refuses to close the
// window, stops on Esc within a second with its rows in the list and in the file's .partial
// (the last report left as it was), and gives every control back.
#include "common/window.h"

#include "directory/client/faults.h"
#include "directory/client/testing.h"
#include "results/resultsmodel.h"

#include <QAction>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QtTest/QTest>

#include <algorithm>

namespace {

using namespace kvx::test;
using ReportWindowTest = WindowTest;

TEST_F(ReportWindowTest, CancelMidRunKeepsTheRowsClosesTheFileWholeAndGivesTheWindowBack) {
    serveSampleTree();
    start();
    walkTo({"Acme"});
    chooseClass("User");
    chooseAttributes({"Surname", "Telephone Number"});
    const QString out = tempPath("cancelled.txt");
    setOutput({}, out);
    // A slow server: a few users per batch, each batch a fifth of a second late.
    kvx::client::setResultBufferCapacityForTesting(500);
    kvx::client::faults::delayCall("NWDSSearch", 200);

    auto* start = find<QPushButton>("cmdStart");
    auto* load = find<QPushButton>("cmdLoad");
    auto* cancel = find<QPushButton>("cmdCancel");
    EXPECT_FALSE(cancel->isEnabled());
    bool sawRun = false;
    int rowsSeen = 0;
    QElapsedTimer sinceCancel;
    QTimer::singleShot(900, window.get(), [&]() {
        sawRun = window->runActive();
        // The rows so far are in the list; what would change the run cannot be touched.
        rowsSeen = window->resultsModel()->rowCount();
        EXPECT_GT(rowsSeen, 0);
        EXPECT_FALSE(start->isEnabled());
        EXPECT_FALSE(load->isEnabled());
        EXPECT_FALSE(window->findChild<QAction*>("Exit1")->isEnabled());
        EXPECT_TRUE(cancel->isEnabled());
        EXPECT_TRUE(find<QLabel>("StatusBar1Panel3")->text().startsWith("Objects found "));
        // Closing asks whether to stop; answered "Continue", the run goes on.
        window->close();
        EXPECT_TRUE(window->isVisible());
        EXPECT_TRUE(window->runActive());
        sinceCancel.start();
        QTest::keyClick(window->findChild<QWidget*>("lvwSearch"), Qt::Key_Escape);
    });
    pressStart(); // returns when the run has stopped
    const qint64 stopMs = sinceCancel.elapsed();
    kvx::client::faults::clear();
    kvx::client::setResultBufferCapacityForTesting(0);

    ASSERT_TRUE(sawRun);
    EXPECT_LT(stopMs, 1000);
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_EQ(questions[0].text, "Stop the report and quit?");
    EXPECT_EQ(questions[0].yes, "Stop and quit");
    EXPECT_EQ(questions[0].no, "Continue");
    EXPECT_EQ(messageTexts(),
              (QStringList{"The report was cancelled. The rows found before the cancel are in " +
                           out + ".partial; " + out + " is left as it was."}));
    EXPECT_FALSE(QFile::exists(out)); // there was no report before, and there is none now
    EXPECT_EQ(window->statusText(0), "Cancelled");
    EXPECT_FALSE(window->runActive());
    EXPECT_TRUE(start->isEnabled());
    EXPECT_TRUE(load->isEnabled());
    EXPECT_TRUE(window->findChild<QAction*>("Exit1")->isEnabled());
    EXPECT_FALSE(cancel->isEnabled());

    // The .partial holds the header and exactly the rows of the list, each line whole; the run
    // did not reach every user of Acme.
    const std::string text = readFile(out + ".partial");
    const auto lines = std::count(text.begin(), text.end(), '\n');
    const int rows = window->resultsModel()->rowCount();
    EXPECT_GE(rows, rowsSeen);
    EXPECT_LT(rows, 40);
    EXPECT_EQ(lines, rows + 1);
    ASSERT_GE(text.size(), 2u);
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
    const auto rowTexts = resultRows();
    ASSERT_FALSE(rowTexts.empty());
    EXPECT_NE(text.find(rowTexts.back()[0] + "," + rowTexts.back()[1] + ","), std::string::npos);

    // The window is the user's again: a new run goes to its end.
    messages.clear();
    pressStart();
    EXPECT_EQ(window->statusText(0), "Finished");
    EXPECT_EQ(window->resultsModel()->rowCount(), 40);
    EXPECT_TRUE(messages.empty());
    // A completed run replaces the report and clears the rows of the one that did not complete.
    const std::string report = readFile(out);
    EXPECT_EQ(std::count(report.begin(), report.end(), '\n'), 41);
    EXPECT_FALSE(QFile::exists(out + ".partial"));
}

// Closing the window during a run and answering "Stop and quit" stops the run at its next
// entry, keeps its rows, each line whole, and closes the window.
TEST_F(ReportWindowTest, StopAndQuitEndsTheRunAndClosesTheWindow) {
    serveSampleTree();
    start();
    walkTo({"Acme"});
    chooseClass("User");
    chooseAttributes({"Surname"});
    const QString out = tempPath("quit.txt");
    setOutput({.toWindow = false}, out);
    kvx::client::setResultBufferCapacityForTesting(500);
    kvx::client::faults::delayCall("NWDSSearch", 200);
    questionAnswer = true;
    QElapsedTimer sinceClose;
    QTimer::singleShot(700, window.get(), [&]() {
        EXPECT_TRUE(window->runActive());
        sinceClose.start();
        window->close();
    });
    pressStart();
    const qint64 stopMs = sinceClose.elapsed();
    kvx::client::faults::clear();
    kvx::client::setResultBufferCapacityForTesting(0);
    EXPECT_EQ(questions.size(), 1u);
    EXPECT_LT(stopMs, 1000);
    EXPECT_EQ(messages.size(), 1u) << messageTexts().join('|').toStdString(); // the cancel's
    EXPECT_TRUE(waitFor([&] { return !window->isVisible(); }));
    EXPECT_FALSE(QFile::exists(out));
    const std::string text = readFile(out + ".partial");
    ASSERT_GE(text.size(), 2u);
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
}

} // namespace

#include "core/ActivityLog.h"
#include "core/HeadlessPrompter.h"

#include <QRegularExpression>
#include <gtest/gtest.h>

using namespace pacs;

TEST(ActivityLog, LinesGoOnTopAndEnableLogGatesOnlyProgressLines)
{
    ActivityLog log;
    log.WriteLog("first");
    log.WriteLog("second");
    EXPECT_EQ(log.logText(), "second\r\nfirst\r\n");

    log.setEnabled(false);
    log.WriteLog("hidden");
    log.writeLogDirect("Connecting to DB...");
    EXPECT_EQ(log.logText(), "Connecting to DB...\r\nsecond\r\nfirst\r\n");
    log.ReportError("still reported", false);
    EXPECT_TRUE(log.errorText().contains("still reported"));

    log.prependRaw("Listener failed");
    EXPECT_TRUE(log.logText().startsWith("Listener failedConnecting to DB...\r\n"));
}

TEST(ActivityLog, ErrorBoxLinesAreTimeStampedNewestFirstAboveTheDesignText)
{
    ActivityLog log;
    EXPECT_EQ(log.errorText(), "---\r\n");
    int pageRequests = 0;
    QObject::connect(&log, &ActivityLog::showLogPage, [&] { ++pageRequests; });
    QStringList journal;
    log.setJournalWriter([&](const QString &d, const QString &p, int s) {
        journal << d + "|" + p + "|" + QString::number(s);
    });
    log.ReportError("one", false);
    log.ReportError("Oops", true);
    const QStringList lines = log.errorText().split("\r\n");
    ASSERT_EQ(lines.size(), 4);
    const QRegularExpression stamp(R"(^\d{1,2}/\d{1,2}/\d{4} \d{1,2}:\d{2}:\d{2} [AP]M :  (.*)$)");
    EXPECT_EQ(stamp.match(lines[0]).captured(1), "Oops");
    EXPECT_EQ(stamp.match(lines[1]).captured(1), "one");
    EXPECT_EQ(lines[2], "---");
    EXPECT_EQ(journal, QStringList{"Oops||0"});
    EXPECT_EQ(pageRequests, 2);
    log.clearErrors();
    EXPECT_EQ(log.errorText(), "");
}

TEST(ActivityLog, TheMinuteTimerClearsLogAndReceivedBoxEveryTwoHoursButNotErrors)
{
    ActivityLog log;
    log.WriteLog("line");
    log.addReceived("P001 image");
    log.ReportError("kept", false);
    for (int i = 0; i < 119; ++i)
        log.tickClearTimer();
    EXPECT_FALSE(log.logText().isEmpty());
    log.tickClearTimer();
    EXPECT_TRUE(log.logText().isEmpty());
    EXPECT_TRUE(log.receivedText().isEmpty());
    EXPECT_TRUE(log.errorText().contains("kept"));
    EXPECT_EQ(log.clearCounter(), 0);
}

TEST(ActivityLog, AVeryLongRunKeepsOnlyTheNewestText)
{
    ActivityLog log;
    const QString line(200, QLatin1Char('x'));
    for (int i = 0; i < 40000; ++i)
        log.writeLogDirect(line + QString::number(i));
    EXPECT_LT(log.logText().size(), 5 * 1024 * 1024);
    EXPECT_TRUE(log.logText().startsWith(line + "39999\r\n"));
}

TEST(HeadlessPrompter, AnswersAsDocumentedAndLogsTheQuestion)
{
    ActivityLog log;
    HeadlessPrompter prompter(log);
    EXPECT_TRUE(prompter.askYesNo("Database needs to be updated, do you wish to update?"));
    EXPECT_TRUE(prompter.askYesNo("Load Configuration"));
    EXPECT_FALSE(prompter.askYesNo("Load Configuration")); // a second in a row would loop
    EXPECT_FALSE(prompter.askYesNo("Delete all?"));
    EXPECT_TRUE(log.logText().contains("Question: Load Configuration Answer: No"));
}

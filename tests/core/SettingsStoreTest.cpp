#include "core/HomeFolder.h"
#include "core/SettingsStore.h"
#include "core/TextValues.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

using namespace pacs;

TEST(SettingsStore, AbsentKeysReadTheirDefaultsAndNothingIsWritten)
{
    test::ScratchHome scratch;
    SettingsStore store;
    EXPECT_EQ(store.filePath(), scratch.settingsFile());
    EXPECT_EQ(store.read(SettingsStore::Server, "PORT"), "104");
    EXPECT_EQ(store.read(SettingsStore::Server, "AEName"), "TALMIR");
    EXPECT_EQ(store.read(SettingsStore::Server, "ServerDrive"), "D:\\");
    EXPECT_EQ(store.read(SettingsStore::Server, "StorageAE"), "");
    EXPECT_EQ(store.readCheck(SettingsStore::Server, "chkEnableLog"), 1);
    EXPECT_EQ(store.readCheck(SettingsStore::Server, "chkStorebyInst"), 1);
    EXPECT_EQ(store.readCheck(SettingsStore::Server, "chkDisregardDuplicates"), 1);
    EXPECT_EQ(store.readCheck(SettingsStore::Server, "chkSavetoDBbeforeSaveImage"), 1);
    EXPECT_EQ(store.readCheck(SettingsStore::Server, "chkLogEvents"), 0);
    EXPECT_EQ(store.readCheck(SettingsStore::Main, "optDisregard"), 1);
    EXPECT_FALSE(store.readOption(SettingsStore::Main, "optBrackmoor"));
    EXPECT_FALSE(store.contains(SettingsStore::Server, "PORT"));
    EXPECT_EQ(store.read(SettingsStore::Server, "NoSuchKey", "x"), "x");
}

TEST(SettingsStore, KeysDifferingInCaseAddressOneValueThatSurvivesARestart)
{
    test::ScratchHome scratch;
    {
        SettingsStore store;
        store.write(SettingsStore::Server, "port", "11112");
        store.write(SettingsStore::Server, "PORT", "11113");
        store.write("main", "OPTBRACKMOOR", "True");
    }
    SettingsStore again;
    EXPECT_EQ(again.read(SettingsStore::Server, "Port"), "11113");
    EXPECT_TRUE(again.readOption(SettingsStore::Main, "optBrackmoor"));
    EXPECT_TRUE(again.contains("server", "pOrT"));
}

TEST(SettingsStore, CheckBoxesReadTheLeadingNumberRounded)
{
    test::ScratchHome scratch;
    SettingsStore store;
    const std::pair<const char *, int> cases[] = {
        {"1", 1}, {"0", 0}, {"", 0}, {"abc", 0}, {"85abc", 85}, {" 1\r\n", 1}, {"1.5", 2}, {"2.5", 2}, {"-1", -1}, {"1e1", 10},
    };
    for (const auto &[text, expected] : cases) {
        store.write(SettingsStore::Server, "chkAuotEcho", QString::fromLatin1(text));
        EXPECT_EQ(store.readCheck(SettingsStore::Server, "chkAuotEcho"), expected) << text;
    }
    EXPECT_EQ(roundedValue("85 followed by letters"), 85);
    EXPECT_DOUBLE_EQ(numericValue("3.25kg"), 3.25);
    EXPECT_DOUBLE_EQ(numericValue("."), 0.0);
}

TEST(HomeFolder, DriverModeAndFirstLines)
{
    test::ScratchHome scratch;
    HomeFolder home(scratch.home());
    EXPECT_EQ(home.driverMode(), 0); // missing
    scratch.writeFile("DriverMode.txt", "1\r\n");
    EXPECT_EQ(home.driverMode(), 1);
    scratch.writeFile("DriverMode.txt", "garbage");
    EXPECT_EQ(home.driverMode(), 0);
    EXPECT_EQ(HomeFolder::connectionFileName(0), "DBServer.txt");
    EXPECT_EQ(HomeFolder::connectionFileName(1), "DBServer1.txt");
    EXPECT_TRUE(HomeFolder::connectionFileName(2).isEmpty());

    scratch.writeFile("DBServer.txt", "Driver=SQLite;Database=a.db\r\nsecond line\n");
    QString line, error;
    ASSERT_TRUE(home.readFirstLine("DBServer.txt", line, error));
    EXPECT_EQ(line, "Driver=SQLite;Database=a.db");
    EXPECT_FALSE(home.readFirstLine("DBServer1.txt", line, error));
    EXPECT_TRUE(error.startsWith("File not found: ")) << error.toStdString();
}

TEST(TextValues, GeneralDateTimeIsShortDateAndLongTime)
{
    EXPECT_EQ(generalDateTime(QDateTime(QDate(2024, 1, 5), QTime(0, 7, 9))), "1/5/2024 12:07:09 AM");
    EXPECT_EQ(generalDateTime(QDateTime(QDate(2026, 12, 8), QTime(16, 44, 11))), "12/8/2026 4:44:11 PM");
}

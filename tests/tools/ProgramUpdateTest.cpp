// "Program Update" against a real server on 127.0.0.1, replacing a copy of a
// program in a scratch folder, never the build's own.
#include "tools/ProgramUpdate.h"

#include "core/ActivityLog.h"
#include "core/Prompter.h"
#include "core/SettingsStore.h"
#include "tests/support/HttpPeer.h"
#include "tests/support/Peers.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace pacs;
using namespace pacs::tools;
using namespace pacs::test;

namespace {

QByteArray fileBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

class Answers : public Prompter
{
public:
    bool yes = false;
    QStringList questions;
    QStringList notices;
    bool askYesNo(const QString &text) override
    {
        questions << text;
        return yes;
    }
    void inform(const QString &text) override { notices << text; }
};

class ProgramUpdateFixture : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        target = dir.filePath("talmir-pacsd");
        oldProgram = fileBytes("/bin/true");
        ASSERT_FALSE(oldProgram.isEmpty());
        writeBytes(target, oldProgram);
        QFile::setPermissions(target, QFile::permissions("/bin/true"));
        update.setTarget(target);
        update.setTimeoutMs(10000);
        QObject::connect(&update, &ProgramUpdate::busyChanged, [this](bool busy) { busyTrail << busy; });
        QObject::connect(&log, &ActivityLog::logLineAdded, [this](const QString &line) { logText += line; });
    }

    void useServer() { settings.write("SERVER", "UpdateServer", peer.address()); }

    QStringList folderContents() const { return QDir(dir.path()).entryList(QDir::Files | QDir::NoDotAndDotDot, QDir::Name); }

    // A real program, different from the others by what follows its end.
    QByteArray program(int n) const { return fileBytes("/bin/false") + QByteArray(n, char(n)); }

    QTemporaryDir dir;
    QTemporaryDir config;
    SettingsStore settings{config.filePath("PACS.ini")};
    ActivityLog log;
    ProgramUpdate update{settings, log};
    HttpPeer peer;
    Answers answers;
    QString target;
    QByteArray oldProgram;
    QList<bool> busyTrail;
    QString logText;
};

} // namespace

TEST(ProgramUpdateNames, BackupNumbersGoWhereTheDotsAreOrAtTheEnd)
{
    EXPECT_EQ(ProgramUpdate::backupName("ROZAZIZERARArizaz.exe", 1), "ROZAZIZERARArizaz.1exe");
    EXPECT_EQ(ProgramUpdate::backupName("a.b.c", 2), "a.2b.2c");
    EXPECT_EQ(ProgramUpdate::backupName("talmir-pacsd", 3), "talmir-pacsd.3");
    EXPECT_EQ(ProgramUpdate::backupName("talmir-pacs", 12), "talmir-pacs.12");
}

TEST(ProgramUpdateNames, OnlyAnExecutableForThisMachinePasses)
{
    QString why;
    const QByteArray good = fileBytes("/bin/true");
    EXPECT_TRUE(ProgramUpdate::isProgramForThisMachine(good, why)) << why.toStdString();
    EXPECT_FALSE(ProgramUpdate::isProgramForThisMachine("#!/bin/sh\necho new\n", why));
    EXPECT_TRUE(why.contains("no ELF header"));
    EXPECT_FALSE(ProgramUpdate::isProgramForThisMachine(good.left(30), why)); // a header cut short
    QByteArray otherMachine = good;
    otherMachine[18] = char(otherMachine[18] ^ 0x55);
    EXPECT_FALSE(ProgramUpdate::isProgramForThisMachine(otherMachine, why));
    EXPECT_TRUE(why.contains("another machine")) << why.toStdString();
    QByteArray otherClass = good;
    otherClass[4] = otherClass[4] == 1 ? 2 : 1;
    EXPECT_FALSE(ProgramUpdate::isProgramForThisMachine(otherClass, why));
    QByteArray relocatable = good;
    relocatable[16] = 1; // an object file, not a program
    relocatable[17] = 0;
    EXPECT_FALSE(ProgramUpdate::isProgramForThisMachine(relocatable, why));
    EXPECT_TRUE(why.contains("not an executable")) << why.toStdString();
}

TEST_F(ProgramUpdateFixture, WithoutAnUpdateServerItSaysSoAndTouchesNothing)
{
    EXPECT_EQ(update.run(answers), ProgramUpdate::Outcome::NoServer);
    ASSERT_EQ(answers.notices.size(), 1);
    EXPECT_TRUE(answers.notices[0].contains("No update server is set")) << answers.notices[0].toStdString();
    EXPECT_TRUE(answers.notices[0].contains("UpdateServer"));
    EXPECT_TRUE(answers.questions.isEmpty());
    EXPECT_EQ(peer.connectionCount(), 0);
    EXPECT_EQ(folderContents(), QStringList{"talmir-pacsd"});
    EXPECT_EQ(busyTrail, (QList<bool>{true, false}));

    settings.write("SERVER", "UpdateServer", "ftp://updates.example");
    EXPECT_EQ(update.run(answers), ProgramUpdate::Outcome::NoServer);
    EXPECT_TRUE(answers.notices.last().contains("not set right")) << answers.notices.last().toStdString();
}

TEST_F(ProgramUpdateFixture, AnUnreachableServerCannotConnect)
{
    HeldPort down;
    settings.write("SERVER", "UpdateServer", QStringLiteral("http://127.0.0.1:%1").arg(down.port()));
    EXPECT_EQ(update.run(answers), ProgramUpdate::Outcome::CannotConnect);
    EXPECT_EQ(answers.notices, QStringList{"Cannot connect"});
    EXPECT_EQ(folderContents(), QStringList{"talmir-pacsd"});
    EXPECT_EQ(fileBytes(target), oldProgram);
    EXPECT_EQ(busyTrail, (QList<bool>{true, false})); // the wait frame goes too
    EXPECT_FALSE(update.isRunning());
}

TEST_F(ProgramUpdateFixture, AnythingButAProgramLeavesTheRunningOneAndMakesNoBackup)
{
    useServer();
    QByteArray foreign = fileBytes("/bin/true");
    foreign[18] = char(foreign[18] ^ 0x55);
    struct Case
    {
        CannedResponse response;
        const char *reason;
    };
    const std::vector<Case> cases = {
        {CannedResponse::withStatus(404, "Not Found", "<html>Not Found</html>"), "404 Not Found"},
        {CannedResponse::withStatus(500, "Internal Server Error", fileBytes("/bin/true")), "500"},
        {CannedResponse::ok(""), "empty"},
        {CannedResponse::ok("<html>Please log in</html>"), "no ELF header"},
        {CannedResponse::ok(foreign), "another machine"},
    };
    for (const Case &c : cases) {
        peer.enqueue(c.response);
        answers.notices.clear();
        EXPECT_EQ(update.run(answers), ProgramUpdate::Outcome::DownloadFailed) << c.reason;
        ASSERT_EQ(answers.notices.size(), 1) << c.reason;
        EXPECT_TRUE(answers.notices[0].contains(c.reason)) << answers.notices[0].toStdString();
        EXPECT_TRUE(answers.notices[0].contains("Nothing was changed."));
        EXPECT_TRUE(answers.questions.isEmpty());
        EXPECT_EQ(folderContents(), QStringList{"talmir-pacsd"}) << c.reason;
        EXPECT_EQ(fileBytes(target), oldProgram) << c.reason;
    }
    EXPECT_TRUE(logText.contains("Program Update failed: the server answered 404 Not Found."));
    // The request: the program's own name, the two fields as its query, no cache.
    ASSERT_EQ(peer.requests().size(), int(cases.size()));
    const HttpRequestSeen &get = peer.requests()[0];
    EXPECT_EQ(get.requestLine, "GET /apps/pacs/server/talmir-pacsd?Username=talmir&Password=zaqvet HTTP/1.1");
    EXPECT_EQ(get.header("Cache-Control"), "no-cache");
    EXPECT_EQ(get.header("User-Agent"), "HTTP Client");
}

TEST_F(ProgramUpdateFixture, EachGoodDownloadBecomesTheProgramAndTheOldOneTheNextBackup)
{
    useServer();
    const QList<QByteArray> versions = {program(1), program(2), program(3)};
    peer.enqueue(CannedResponse::ok(versions[0]));
    peer.enqueue(CannedResponse::ok(versions[1], CannedResponse::Framing::Chunked));
    peer.enqueue(CannedResponse::ok(versions[2], CannedResponse::Framing::UntilClose));
    for (int run = 0; run < 3; ++run) {
        EXPECT_EQ(update.run(answers), ProgramUpdate::Outcome::Installed) << update.message().toStdString();
        EXPECT_EQ(fileBytes(target), versions[run]);
        EXPECT_TRUE(QFileInfo(target).isExecutable());
    }
    EXPECT_EQ(folderContents(), (QStringList{"talmir-pacsd", "talmir-pacsd.1", "talmir-pacsd.2", "talmir-pacsd.3"}));
    EXPECT_EQ(fileBytes(dir.filePath("talmir-pacsd.1")), oldProgram);
    EXPECT_EQ(fileBytes(dir.filePath("talmir-pacsd.2")), versions[0]);
    EXPECT_EQ(fileBytes(dir.filePath("talmir-pacsd.3")), versions[1]);
    EXPECT_EQ(answers.questions, QStringList(3, "Done. Run Program?"));
    EXPECT_TRUE(answers.notices.isEmpty());
    EXPECT_TRUE(logText.contains("the old program is kept as " + dir.filePath("talmir-pacsd.3")));
    EXPECT_EQ(busyTrail.last(), false);
}

TEST_F(ProgramUpdateFixture, AnsweringYesStartsTheNewProgramWithTheSameArguments)
{
    useServer();
    peer.enqueue(CannedResponse::ok(oldProgram + "v2")); // /bin/true, so it ends at once
    answers.yes = true;
    update.setRestartArguments({"--home", dir.path()});
    EXPECT_EQ(update.run(answers), ProgramUpdate::Outcome::Restarted) << update.message().toStdString();
    EXPECT_GT(update.startedPid(), 0);
    EXPECT_TRUE(update.message().startsWith("Started " + target));
    EXPECT_EQ(fileBytes(target), oldProgram + "v2");
}

TEST_F(ProgramUpdateFixture, AProgramNotThereYetIsPutInItsFolderWithoutABackup)
{
    useServer();
    const QString fresh = dir.filePath("opt/pacs/bin/talmir-pacs");
    update.setTarget(fresh);
    peer.enqueue(CannedResponse::ok(program(4)));
    EXPECT_EQ(update.run(answers), ProgramUpdate::Outcome::Installed) << update.message().toStdString();
    EXPECT_EQ(fileBytes(fresh), program(4));
    EXPECT_TRUE(QFileInfo(fresh).isExecutable());
    EXPECT_EQ(QDir(dir.filePath("opt/pacs/bin")).entryList(QDir::Files), QStringList{"talmir-pacs"});
    ASSERT_EQ(peer.requests().size(), 1);
    EXPECT_TRUE(peer.requests()[0].target.startsWith("/apps/pacs/server/talmir-pacs?"));
}

TEST_F(ProgramUpdateFixture, ANewFileThatCannotBeWrittenKeepsTheOldProgram)
{
    useServer();
    peer.enqueue(CannedResponse::ok(program(5)));
    ASSERT_TRUE(QDir(dir.path()).mkdir("talmir-pacsd - new")); // in the way of the download
    EXPECT_EQ(update.run(answers), ProgramUpdate::Outcome::InstallFailed);
    ASSERT_EQ(answers.notices.size(), 1);
    EXPECT_TRUE(answers.notices[0].contains("cannot write")) << answers.notices[0].toStdString();
    EXPECT_TRUE(answers.questions.isEmpty());
    EXPECT_EQ(folderContents(), QStringList{"talmir-pacsd"});
    EXPECT_EQ(fileBytes(target), oldProgram);
}

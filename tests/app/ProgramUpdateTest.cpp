// "Program Update" from the main window's "Settings" page and from the
// command line, against a real server on 127.0.0.1, replacing a copy of a
// program in a scratch folder.
#include "app/shell/ServerController.h"
#include "app/windows/ProgramUpdatePanel.h"
#include "app/windows/ServerForm.h"
#include "core/Prompter.h"
#include "tests/support/HttpPeer.h"
#include "tests/support/Peers.h"
#include "tests/support/TestSupport.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFrame>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace pacs;
using namespace pacs::test;

namespace {

QByteArray fileBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool copyProgram(const QString &from, const QString &to)
{
    QFile::remove(to);
    return QFile::copy(from, to) && QFile::setPermissions(to, QFile::permissions(from));
}

class Answers : public Prompter
{
public:
    QStringList questions;
    QStringList notices;
    bool askYesNo(const QString &text) override
    {
        questions << text;
        return false;
    }
    void inform(const QString &text) override { notices << text; }
};

QStringList files(const QTemporaryDir &dir)
{
    return QDir(dir.path()).entryList(QDir::Files, QDir::Name);
}

} // namespace

TEST(ProgramUpdateWindow, TheSettingsPageButtonDownloadsBehindThePleaseWaitFrame)
{
    ScratchHome scratch;
    ServerController controller(scratch.home(), QString());
    Answers answers;
    controller.setPrompter(&answers);
    ServerForm form(controller);
    form.show();

    auto *button = form.findChild<QPushButton *>("cmdDLLUpdate");
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(button->text(), "Program Update");
    const int settingsTab = form.tabCaptions().indexOf("Settings");
    ASSERT_GE(settingsTab, 0);
    EXPECT_TRUE(form.tabs()->widget(settingsTab)->isAncestorOf(button));
    auto *wait = form.findChild<QFrame *>("fraPlsWait");
    ASSERT_NE(wait, nullptr);
    form.tabs()->setCurrentIndex(settingsTab);
    EXPECT_FALSE(wait->isVisible());

    QTemporaryDir dir;
    const QString target = dir.filePath("talmir-pacs");
    ASSERT_TRUE(copyProgram("/bin/true", target));
    auto *panel = form.findChild<ProgramUpdatePanel *>();
    ASSERT_NE(panel, nullptr);
    panel->update().setTarget(target);

    // Not set: the operator is told where to set it.
    button->click();
    ASSERT_EQ(answers.notices.size(), 1);
    EXPECT_TRUE(answers.notices[0].contains("UpdateServer"));

    HttpPeer peer;
    const QByteArray newProgram = fileBytes("/bin/false");
    peer.enqueue(CannedResponse::ok(newProgram));
    controller.settings().write("SERVER", "UpdateServer", peer.address());
    bool waitShownWhileDownloading = false;
    bool waitCursorWhileDownloading = false;
    QObject::connect(&controller.log(), &ActivityLog::logLineAdded, [&](const QString &line) {
        if (line.contains("downloading")) {
            waitShownWhileDownloading = wait->isVisible();
            waitCursorWhileDownloading = QApplication::overrideCursor() && QApplication::overrideCursor()->shape() == Qt::WaitCursor;
        }
    });
    button->click();
    EXPECT_TRUE(waitShownWhileDownloading);
    EXPECT_TRUE(waitCursorWhileDownloading);
    EXPECT_EQ(answers.questions, QStringList{"Done. Run Program?"});
    EXPECT_EQ(fileBytes(target), newProgram);
    EXPECT_EQ(fileBytes(dir.filePath("talmir-pacs.1")), fileBytes("/bin/true"));
    EXPECT_FALSE(wait->isVisible());
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_TRUE(button->isEnabled());
    EXPECT_TRUE(controller.log().logText().contains("the old program is kept as " + dir.filePath("talmir-pacs.1")));

    // The server gone: "Cannot connect", and the frame and cursor do not stay.
    HeldPort down;
    controller.settings().write("SERVER", "UpdateServer", QStringLiteral("http://127.0.0.1:%1").arg(down.port()));
    button->click();
    EXPECT_EQ(answers.notices.last(), "Cannot connect");
    EXPECT_FALSE(wait->isVisible());
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(files(dir), (QStringList{"talmir-pacs", "talmir-pacs.1"}));
}

TEST(ProgramUpdateCommand, ReplacesTheProgramGivenAndRefusesWhatIsNoProgram)
{
    ScratchHome scratch;
    QTemporaryDir dir;
    const QString target = dir.filePath("talmir-pacsd");
    ASSERT_TRUE(copyProgram("/bin/true", target));
    const auto command = [&](const QStringList &arguments) {
        return runTool(QStringLiteral(TALMIR_PACS_BINARY),
                       QStringList{"--home", scratch.home(), "program-update", "--target", target} + arguments, 60000);
    };

    ToolResult r = command({});
    EXPECT_EQ(r.exitCode, 1) << r.output.toStdString();
    EXPECT_TRUE(r.output.contains("No update server is set")) << r.output.toStdString();
    r = command({"--verbose"});
    EXPECT_EQ(r.exitCode, 2) << r.output.toStdString();

    HttpPeer peer;
    peer.enqueue(CannedResponse::withStatus(404, "Not Found"));
    peer.enqueue(CannedResponse::ok("MZ not a program for this machine"));
    r = command({"--server", peer.address()});
    EXPECT_EQ(r.exitCode, 1) << r.output.toStdString();
    EXPECT_TRUE(r.output.contains("the server answered 404 Not Found")) << r.output.toStdString();
    r = command({"--server", peer.address(), "--yes"});
    EXPECT_EQ(r.exitCode, 1) << r.output.toStdString();
    EXPECT_TRUE(r.output.contains("no ELF header")) << r.output.toStdString();
    EXPECT_EQ(files(dir), QStringList{"talmir-pacsd"});
    EXPECT_EQ(fileBytes(target), fileBytes("/bin/true"));

    // The setting names the server; three runs leave backups 1, 2 and 3.
    QFile ini(scratch.settingsFile());
    QDir().mkpath(QFileInfo(ini).path());
    ASSERT_TRUE(ini.open(QIODevice::WriteOnly | QIODevice::Append));
    ini.write(("[SERVER]\nUpdateServer=" + peer.address() + "\n").toUtf8());
    ini.close();
    const QByteArray base = fileBytes("/bin/false");
    for (int run = 1; run <= 3; ++run)
        peer.enqueue(CannedResponse::ok(base + QByteArray(run, 'v')));
    for (int run = 1; run <= 3; ++run) {
        r = command(run == 3 ? QStringList{"--yes"} : QStringList{});
        EXPECT_EQ(r.exitCode, 0) << r.output.toStdString();
        EXPECT_EQ(fileBytes(target), base + QByteArray(run, 'v'));
    }
    EXPECT_TRUE(r.output.contains("Done. Run Program? Yes")) << r.output.toStdString();
    EXPECT_TRUE(r.output.contains("Started " + target)) << r.output.toStdString();
    EXPECT_EQ(files(dir), (QStringList{"talmir-pacsd", "talmir-pacsd.1", "talmir-pacsd.2", "talmir-pacsd.3"}));
    EXPECT_EQ(fileBytes(dir.filePath("talmir-pacsd.1")), fileBytes("/bin/true"));
    EXPECT_EQ(fileBytes(dir.filePath("talmir-pacsd.3")), base + "vv");
    ASSERT_EQ(peer.requests().size(), 5);
    EXPECT_EQ(peer.requests()[4].requestLine, "GET /apps/pacs/server/talmir-pacsd?Username=talmir&Password=zaqvet HTTP/1.1");
}

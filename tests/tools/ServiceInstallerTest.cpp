#include "tools/ServiceInstaller.h"
#include "tests/support/Peers.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace pacs;
using namespace pacs::test;
using tools::ServiceInstaller;

namespace {

QString readText(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// systemd's own reading of the unit: exit 0 and no complaint.
void expectSystemdAccepts(const QString &unitPath)
{
    const ToolResult verify = runTool("systemd-analyze", {"verify", unitPath}, 60000);
    EXPECT_EQ(verify.exitCode, 0) << verify.output.toStdString();
    EXPECT_FALSE(verify.output.contains(QFileInfo(unitPath).fileName())) << verify.output.toStdString();
}

// A systemctl for a machine where systemd does not run: it notes its
// arguments and fails where told to.
QString writeSystemctl(const QTemporaryDir &dir, const QString &failOn)
{
    const QString path = dir.filePath("systemctl");
    QFile script(path);
    EXPECT_TRUE(script.open(QIODevice::WriteOnly));
    script.write(QStringLiteral("#!/bin/sh\necho \"$*\" >> '%1'\n"
                                "if [ \"$1\" = \"%2\" ]; then echo 'Unit file is masked.' >&2; exit 1; fi\nexit 0\n")
                     .arg(dir.filePath("calls"), failOn)
                     .toUtf8());
    script.close();
    script.setPermissions(script.permissions() | QFileDevice::ExeOwner);
    return path;
}

} // namespace

TEST(ServiceInstaller, WritesAUnitThatRunsTheServiceOnTheHomeFolder)
{
    QTemporaryDir dir;
    // Blanks, a percent sign and a dollar: systemd would read them as
    // separators, specifiers and variables if they went in bare.
    const QString home = dir.filePath("pacs home 100%$USER");
    const QString config = dir.filePath("config \"x\"");
    QDir().mkpath(home);
    ServiceInstaller installer(TALMIR_PACS_BINARY, home, config);
    installer.setUnitFolder(dir.filePath("units"));
    ASSERT_TRUE(installer.install()) << installer.report().join('\n').toStdString();

    const QString unitPath = dir.filePath("units/talmir-pacs.service");
    EXPECT_EQ(installer.unitPath(), unitPath);
    const QString text = readText(unitPath);
    const QString escapedHome = QString(home).replace("%", "%%").replace("$", "$$");
    EXPECT_TRUE(text.contains(QStringLiteral("\nExecStart=\"%1\" --home \"%2\"\n").arg(TALMIR_PACS_BINARY, escapedHome)))
        << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("\nEnvironment=\"XDG_CONFIG_HOME=%1\"\n").arg(QString(config).replace("\"", "\\\""))))
        << text.toStdString();
    EXPECT_TRUE(text.contains("\nWantedBy=multi-user.target\n"));
    EXPECT_FALSE(text.contains("User="));
    expectSystemdAccepts(unitPath);
    EXPECT_TRUE(QFileInfo(unitPath).permissions().testFlag(QFileDevice::ReadOther));

    EXPECT_EQ(installer.report().value(0), "Wrote " + unitPath);
    EXPECT_TRUE(installer.report().join('\n').contains("copy it to /etc/systemd/system, then run: systemctl daemon-reload && "
                                                      "systemctl enable talmir-pacs.service"));

    // Installed again, for another account: the unit is replaced.
    installer.setUser("daemon");
    ASSERT_TRUE(installer.install());
    EXPECT_EQ(installer.report().value(0), "Replaced " + unitPath);
    const QString again = readText(unitPath);
    EXPECT_TRUE(again.contains("\nUser=daemon\nAmbientCapabilities=CAP_NET_BIND_SERVICE\n")) << again.toStdString();
    expectSystemdAccepts(unitPath);
    EXPECT_EQ(QDir(dir.filePath("units")).entryList(QDir::Files), QStringList{"talmir-pacs.service"}) << "no temporary left";
}

TEST(ServiceInstaller, ReloadsAndEnablesThroughSystemctlAndSaysWhenThatFails)
{
    QTemporaryDir dir;
    ServiceInstaller installer(TALMIR_PACS_BINARY, dir.filePath("home"), dir.filePath("config"));
    installer.setUnitFolder(dir.filePath("units"));
    installer.setSystemctl(writeSystemctl(dir, "none"));
    ASSERT_TRUE(installer.install()) << installer.report().join('\n').toStdString();
    EXPECT_EQ(readText(dir.filePath("calls")), "daemon-reload\nenable talmir-pacs.service\n");
    EXPECT_TRUE(installer.report().contains("systemctl enable talmir-pacs.service: done"));
    EXPECT_TRUE(installer.report().last().startsWith("Enabled: it starts with the system. Start it now with: systemctl start "
                                                     "talmir-pacs.service"));

    QTemporaryDir failing;
    ServiceInstaller refused(TALMIR_PACS_BINARY, failing.filePath("home"), failing.filePath("config"));
    refused.setUnitFolder(failing.filePath("units"));
    refused.setSystemctl(writeSystemctl(failing, "enable"));
    EXPECT_FALSE(refused.install());
    EXPECT_TRUE(QFileInfo::exists(failing.filePath("units/talmir-pacs.service"))) << "the unit stays for a manual enable";
    EXPECT_EQ(refused.error(), "systemctl enable talmir-pacs.service failed (exit 1): Unit file is masked.");
    EXPECT_TRUE(refused.report().last().startsWith("Enable it by hand with: systemctl daemon-reload && systemctl enable"));
}

TEST(ServiceInstaller, WritesNothingForAMissingProgramOrAPathAUnitCannotHold)
{
    QTemporaryDir dir;
    ServiceInstaller missing(dir.filePath("no-such-program"), dir.filePath("home"), dir.filePath("config"));
    missing.setUnitFolder(dir.filePath("units"));
    EXPECT_FALSE(missing.install());
    EXPECT_EQ(missing.error(), "The service program is missing: " + dir.filePath("no-such-program"));

    ServiceInstaller broken(TALMIR_PACS_BINARY, dir.filePath("home\nExecStartPre=/bin/rm"), dir.filePath("config"));
    broken.setUnitFolder(dir.filePath("units"));
    EXPECT_FALSE(broken.install());
    EXPECT_TRUE(broken.error().startsWith("A path with a line break cannot go into a unit"));
    EXPECT_FALSE(QFileInfo::exists(dir.filePath("units/talmir-pacs.service")));
}

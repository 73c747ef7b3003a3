#pragma once

#include "core/ActivityLog.h"
#include "core/HomeFolder.h"
#include "core/Prompter.h"
#include "db/ArchiveConnection.h"
#include "db/ArchiveInstaller.h"
#include "tests/support/ServerDatabase.h"
#include "tests/support/TestSupport.h"

#include <QStringList>
#include <gtest/gtest.h>

namespace pacs::test {

// Answers questions from a script and remembers what was asked.
class ScriptedPrompter : public Prompter
{
public:
    QStringList asked;
    QStringList shown;
    QList<bool> answers; // consumed in order; No when empty
    bool askYesNo(const QString &text) override
    {
        asked << text;
        return answers.isEmpty() ? false : answers.takeFirst();
    }
    void inform(const QString &text) override { shown << text; }
};

// A home folder with the embedded archive installed and connected.
class ArchiveFixture : public ::testing::Test
{
protected:
    void SetUp() override
    {
        QString error;
        db::ArchiveInstaller installer(home);
        ASSERT_TRUE(installer.install(error)) << error.toStdString();
        connection.ConnectDB();
        ASSERT_TRUE(connection.DBConnected()) << log.errorText().toStdString();
    }

    // Error-box lines without their time stamps, newest first.
    QStringList errorLines() const
    {
        QStringList lines;
        for (const QString &line : log.errorText().split("\r\n", Qt::SkipEmptyParts)) {
            const qsizetype at = line.indexOf(" :  ");
            if (at >= 0)
                lines << line.mid(at + 4);
        }
        return lines;
    }

    // The archive is on a database server (PACS_TEST_SERVER), not embedded.
    static bool onServer() { return ServerDatabase::enabled(); }

    // Every row of a query, its fields joined by "=" and the rows by ",".
    QString joined(const QString &sql)
    {
        QStringList rows;
        for (db::ResultSet r = connection.ExecuteSQL(sql); !r.isNone() && !r.atEnd(); r.moveNext()) {
            QStringList fields;
            for (int i = 0; i < r.fieldCount(); ++i)
                fields << r.text(i);
            rows << fields.join('=');
        }
        return rows.join(',');
    }

    // One value of the first row of a query.
    QString scalar(const QString &sql)
    {
        db::ResultSet rows = connection.ExecuteSQL(sql);
        return rows.atEnd() ? QStringLiteral("<none>") : rows.text(0);
    }

    ScratchHome scratch;
    HomeFolder home{scratch.home()};
    ActivityLog log;
    db::ArchiveConnection connection{home, log};
};

} // namespace pacs::test

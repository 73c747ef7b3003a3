#include "db/ArchiveInstaller.h"

#include "core/HomeFolder.h"
#include "db/SqliteBackend.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace pacs::db {

ArchiveInstaller::ArchiveInstaller(const HomeFolder &home) : m_home(home)
{
}

bool ArchiveInstaller::isInstalled() const
{
    return m_home.exists(QStringLiteral("DBServer.txt"));
}

bool ArchiveInstaller::createDatabase(const QString &file, const QString &script, QString &error)
{
    if (m_home.exists(file))
        return true;
    QFile resource(QStringLiteral(":/schema/sqlite/") + script);
    if (!resource.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("Installation script missing: ") + script;
        return false;
    }
    const QString sql = QString::fromUtf8(resource.readAll());
    // Built under a temporary name and renamed, so a failed installation
    // never leaves a half-made database that looks installed.
    const QString target = m_home.filePath(file);
    const QString partial = target + QStringLiteral(".partial");
    QFile::remove(partial);
    {
        SqliteBackend db;
        if (!db.openFile(partial, true, error))
            return false;
        if (!db.executeScript(QStringLiteral("PRAGMA journal_mode=DELETE; BEGIN;") + sql + QStringLiteral("; COMMIT;"), error)) {
            error = QStringLiteral("Cannot create ") + file + QStringLiteral(": ") + error;
            db.close();
            QFile::remove(partial);
            return false;
        }
        db.close();
    }
    if (!QFile::rename(partial, target)) {
        error = QStringLiteral("Cannot create ") + target;
        QFile::remove(partial);
        return false;
    }
    m_actions << QStringLiteral("Created ") + target;
    return true;
}

bool ArchiveInstaller::install(QString &error)
{
    m_actions.clear();
    if (!QDir().mkpath(m_home.path())) {
        error = QStringLiteral("Cannot create the home folder ") + m_home.path();
        return false;
    }
    if (!createDatabase(QLatin1String(ArchiveFile), QStringLiteral("archive.sql"), error)
        || !createDatabase(QStringLiteral("Patient_Data.db"), QStringLiteral("patient_data.sql"), error)
        || !createDatabase(QStringLiteral("Build_File.db"), QStringLiteral("build_file.sql"), error)
        || !createDatabase(QStringLiteral("HIS.db"), QStringLiteral("his.sql"), error))
        return false;

    struct OneLineFile
    {
        const char *name;
        const char *content;
    };
    // The site-profile files name the demo HIS database; ORVIK's string ends
    // in the catalog item that gives the HIS database name.
    const OneLineFile files[] = {
        {"DBServer.txt", DefaultConnectionString},
        {"ORVIK.txt", "Driver=SQLite;Database=HIS.db;Uid=;Pwd=;Catalog=HIS"},
        {"BRACKMOOR.txt", "Driver=SQLite;Database=HIS.db"},
        {"TESSMARK.txt", "Driver=SQLite;Database=HIS.db"},
    };
    for (const OneLineFile &f : files) {
        const QString name = QLatin1String(f.name);
        if (m_home.exists(name))
            continue;
        if (!m_home.writeText(name, QLatin1String(f.content) + QStringLiteral("\n"), error))
            return false;
        m_actions << QStringLiteral("Created ") + m_home.filePath(name);
    }
    return true;
}

} // namespace pacs::db

#pragma once

#include <QString>

namespace pacs {

// The program's own folder: the one-line configuration files (DriverMode.txt,
// DBServer.txt, DBServer1.txt, the site-profile files) and, on the embedded
// default, the archive databases. Chosen with --home; otherwise a per-user
// data folder.
class HomeFolder
{
public:
    static QString defaultPath();

    explicit HomeFolder(const QString &path = defaultPath());

    const QString &path() const { return m_path; }
    QString filePath(const QString &name) const;
    bool exists(const QString &name) const;

    // First line of a file in the folder (line break removed). On failure
    // returns false with a description of what went wrong.
    bool readFirstLine(const QString &name, QString &line, QString &error) const;
    // The whole file as text; empty when it cannot be read.
    QString readAll(const QString &name) const;
    // Writes the file whole, through a temporary file and a rename.
    bool writeText(const QString &name, const QString &text, QString &error) const;

    // DriverMode.txt read as a number, rounded; 0 when missing or unreadable.
    int driverMode() const;
    // The connection file the driver mode selects; empty for other modes.
    static QString connectionFileName(int driverMode);

private:
    QString m_path;
};

} // namespace pacs

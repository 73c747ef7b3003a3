#pragma once

// What a scenario left in the archive, checked as a second process reads it:
// every image answered with success must be in ImageTable exactly once with a
// file dcmdump reads, or kept in quarantine; no row may point to a missing file.

#include <QSet>
#include <QString>
#include <QStringList>

namespace pacs::test {

struct ArchiveAudit
{
    int acknowledged = 0;
    int stored = 0;      // of the acknowledged: one row, file readable
    int quarantined = 0; // of the acknowledged: no row, file in _quarantine
    int lost = 0;        // of the acknowledged: neither
    QStringList lostUids;
    QStringList duplicateUids;  // more than one row
    QStringList danglingRows;   // any row whose file is missing or unreadable
    QString error;              // the archive could not be read at all

    bool clean() const { return error.isEmpty() && lost == 0 && duplicateUids.isEmpty() && danglingRows.isEmpty(); }
    QString describe() const;
};

// `home` is the server's home folder (archive.db, storage root IMAGES/).
// `storageRoot` is where the images are kept when not in the home folder.
ArchiveAudit auditArchive(const QString &home, const QSet<QString> &acknowledged, const QString &storageRoot = QString());

} // namespace pacs::test

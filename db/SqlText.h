#pragma once

#include <QDate>
#include <QDateTime>
#include <QString>
#include <QTime>

namespace pacs::db {

// The small text routines every statement builder shares.

// Apostrophes doubled for a literal between single quotes; nothing else changes.
QString Quote(const QString &text);
// "MM/DD/YYYY".
QString DateText(const QDate &date);
// "hh:mm:ss" on the 24-hour clock.
QString TimeText(const QTime &time);
inline QString TimeText(const QDateTime &when) { return TimeText(when.time()); }
// The text before the first delimiter; the source keeps what follows it.
// Without the delimiter: the whole source, which becomes empty.
QString NextToken(QString &source, const QString &delimiter);
// Trimmed, then every blank, "/", "'", "." and ":" turned into "_".
QString SafeFileName(const QString &text);
// Creates every folder along a file path (not the file's own name); a path
// ending in "/" creates all of them. Failures are ignored here and show up
// when the file is written.
void MakeDirs(const QString &path);
// A stored image path moved onto the current storage root: the part before
// its IMAGES folder is replaced by the root. Windows paths ("D:\IMAGES\...")
// are read too. A path without an IMAGES folder is returned unchanged.
QString OnServerDrive(const QString &storedPath, const QString &storageRoot);

} // namespace pacs::db

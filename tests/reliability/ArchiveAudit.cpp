#include "tests/reliability/ArchiveAudit.h"

#include "db/SqlText.h"
#include "db/SqliteBackend.h"
#include "tests/support/SampleImages.h"

#include <QDirIterator>
#include <QFileInfo>
#include <QHash>
#include <QProcess>

namespace pacs::test {

namespace {

bool dcmdumpReads(const QStringList &files)
{
    QProcess dump;
    dump.setProcessChannelMode(QProcess::MergedChannels);
    dump.start(QStringLiteral("dcmdump"), QStringList{QStringLiteral("-q")} + files);
    if (!dump.waitForFinished(120000))
        return false;
    return dump.exitStatus() == QProcess::NormalExit && dump.exitCode() == 0;
}

// The files dcmdump cannot read: in batches, one by one only where a batch fails.
QStringList unreadableFiles(const QStringList &files)
{
    QStringList bad;
    constexpr int kBatch = 200;
    for (qsizetype at = 0; at < files.size(); at += kBatch) {
        const QStringList batch = files.mid(at, kBatch);
        if (dcmdumpReads(batch))
            continue;
        for (const QString &file : batch)
            if (!dcmdumpReads({file}))
                bad << file;
    }
    return bad;
}

} // namespace

QString ArchiveAudit::describe() const
{
    QString text = QStringLiteral("acknowledged %1, stored %2, quarantined %3, lost %4")
                       .arg(acknowledged).arg(stored).arg(quarantined).arg(lost);
    if (!error.isEmpty())
        text += QStringLiteral("; archive not readable: ") + error;
    if (!lostUids.isEmpty())
        text += QStringLiteral("; lost: ") + lostUids.mid(0, 10).join(QLatin1Char(' '));
    if (!duplicateUids.isEmpty())
        text += QStringLiteral("; more than one row: ") + duplicateUids.mid(0, 10).join(QLatin1Char(' '));
    if (!danglingRows.isEmpty())
        text += QStringLiteral("; rows without a readable file: ") + danglingRows.mid(0, 10).join(QLatin1Char(' '));
    return text;
}

ArchiveAudit auditArchive(const QString &home, const QSet<QString> &acknowledged, const QString &storageRoot)
{
    ArchiveAudit audit;
    audit.acknowledged = int(acknowledged.size());
    db::SqliteBackend archive;
    if (!archive.openFile(home + QStringLiteral("/archive.db"), false, audit.error))
        return audit;
    auto rows = archive.execute(QStringLiteral("select InstanceUID, Filename from ImageTable"), audit.error);
    if (!rows)
        return audit;
    QHash<QString, int> rowsByUid;
    QHash<QString, QString> fileByUid;
    QStringList files;
    const QString root = (storageRoot.isEmpty() ? home : storageRoot) + QLatin1Char('/');
    for (; !rows->atEnd(); rows->moveNext()) {
        const QString uid = rows->value(0).toText();
        const QString file = db::OnServerDrive(rows->value(1).toText(), root);
        ++rowsByUid[uid];
        fileByUid.insert(uid, file);
        if (QFileInfo(file).isFile())
            files << file;
        else
            audit.danglingRows << uid;
    }
    rows->close();
    archive.close();
    const QStringList unreadable = unreadableFiles(files);
    QSet<QString> unreadableUids;
    for (auto it = fileByUid.cbegin(); it != fileByUid.cend(); ++it)
        if (unreadable.contains(it.value())) {
            unreadableUids.insert(it.key());
            audit.danglingRows << it.key();
        }

    QSet<QString> quarantined;
    QDirIterator kept(root + QStringLiteral("IMAGES/_quarantine"), QDir::Files, QDirIterator::Subdirectories);
    while (kept.hasNext())
        quarantined.insert(fileElement(kept.next(), 0x0008, 0x0018));

    for (const QString &uid : acknowledged) {
        const int count = rowsByUid.value(uid);
        if (count > 1)
            audit.duplicateUids << uid;
        if (count >= 1 && !unreadableUids.contains(uid) && QFileInfo(fileByUid.value(uid)).isFile())
            ++audit.stored;
        else if (count == 0 && quarantined.contains(uid))
            ++audit.quarantined;
        else {
            ++audit.lost;
            audit.lostUids << uid;
        }
    }
    return audit;
}

} // namespace pacs::test

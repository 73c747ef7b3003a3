#include "tests/reliability/SendBatch.h"

#include <QDir>

namespace pacs::test {

SendBatch::SendBatch(const QString &folder, const QString &patientId, const QString &uidRoot, int count) : m_folder(folder)
{
    QDir().mkpath(folder);
    SampleSpec spec;
    spec.patientId = patientId;
    spec.studyUid = uidRoot + QStringLiteral(".1");
    spec.seriesUid = spec.studyUid + QStringLiteral(".1");
    m_studyUid = spec.studyUid;
    for (int i = 1; i <= count; ++i) {
        spec.instanceNumber = i;
        spec.instanceUid = spec.seriesUid + QLatin1Char('.') + QString::number(i);
        add(QStringLiteral("%1/%2.dcm").arg(folder).arg(i, 4, 10, QLatin1Char('0')), spec);
    }
}

SendBatch::SendBatch(const QString &folder, const QList<SampleSpec> &specs) : m_folder(folder)
{
    QDir().mkpath(folder);
    for (qsizetype i = 0; i < specs.size(); ++i)
        add(QStringLiteral("%1/%2.dcm").arg(folder).arg(i + 1, 4, 10, QLatin1Char('0')), specs[i]);
}

void SendBatch::add(const QString &path, const SampleSpec &spec)
{
    const QString uid = writeSample(path, spec);
    if (uid.isEmpty())
        return;
    m_files << path;
    m_uidByFile.insert(path, uid);
}

QSet<QString> SendBatch::uids() const
{
    QSet<QString> all;
    for (const QString &uid : m_uidByFile)
        all.insert(uid);
    return all;
}

} // namespace pacs::test

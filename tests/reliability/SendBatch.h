#pragma once

// A folder of images one modality sends: one study and series per batch.

#include "tests/support/SampleImages.h"

#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

namespace pacs::test {

class SendBatch
{
public:
    // `count` CT images of patient `patientId` in `folder`, UIDs under `uidRoot`.
    SendBatch(const QString &folder, const QString &patientId, const QString &uidRoot, int count);
    // One image each of the given specs (their UIDs as given or generated).
    SendBatch(const QString &folder, const QList<SampleSpec> &specs);

    QString folder() const { return m_folder; }
    QStringList files() const { return m_files; }
    QString uidOf(const QString &file) const { return m_uidByFile.value(file); }
    QSet<QString> uids() const;
    QString studyUid() const { return m_studyUid; }

private:
    void add(const QString &path, const SampleSpec &spec);

    QString m_folder;
    QString m_studyUid;
    QStringList m_files;
    QHash<QString, QString> m_uidByFile;
};

} // namespace pacs::test

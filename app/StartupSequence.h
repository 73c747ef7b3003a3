#pragma once

#include "ActivityLog.h"
#include "ArchiveConnection.h"
#include "EventJournal.h"
#include "HomeFolder.h"
#include "SettingsStore.h"

#include <QObject>
#include <QString>
#include <memory>

namespace pacs {

class Prompter;

// The program's parts and the fixed order in which they come up: settings,
// the embedded installation on a fresh home folder, the archive connection
// (waiting for it), the schema check, the institution caption.
class StartupSequence : public QObject
{
    Q_OBJECT
public:
    StartupSequence(const QString &homePath, const QString &commandLineText, QObject *parent = nullptr);
    ~StartupSequence() override;

    void setPrompter(Prompter *prompter) { m_prompter = prompter; }
    void run();

    SettingsStore &settings() { return m_settings; }
    HomeFolder &home() { return m_home; }
    ActivityLog &log() { return m_log; }
    db::ArchiveConnection &connection() { return *m_connection; }
    db::EventJournal &journal() { return *m_journal; }
    const QString &commandLineText() const { return m_commandLineText; }
    const QString &institutionCaption() const { return m_institution; }
    bool finished() const { return m_finished; }

signals:
    void loaded();

private:
    void installIfNeeded();
    void readInstitutionCaption();

    QString m_commandLineText;
    SettingsStore m_settings;
    HomeFolder m_home;
    ActivityLog m_log;
    std::unique_ptr<db::ArchiveConnection> m_connection;
    std::unique_ptr<db::EventJournal> m_journal;
    Prompter *m_prompter = nullptr;
    QString m_institution = QStringLiteral("TALMIR PACS SERVER");
    bool m_finished = false;
};

} // namespace pacs

#include "StartupSequence.h"

#include "ArchiveInstaller.h"
#include "Prompter.h"
#include "SchemaUpgrade.h"

namespace pacs {

StartupSequence::StartupSequence(const QString &homePath, const QString &commandLineText, QObject *parent)
    : QObject(parent),
      m_commandLineText(commandLineText),
      m_home(homePath.isEmpty() ? HomeFolder::defaultPath() : homePath),
      m_connection(std::make_unique<db::ArchiveConnection>(m_home, m_log)),
      m_journal(std::make_unique<db::EventJournal>(*m_connection))
{
    m_log.setJournalWriter([this](const QString &description, const QString &patientId, int severity) {
        m_journal->logEvent(description, patientId, severity);
    });
    const QByteArray retry = qgetenv("TALMIR_DB_RETRY_MS"); // test hook
    if (!retry.isEmpty() && retry.toInt() > 0)
        m_connection->setRetryIntervalMs(retry.toInt());
}

StartupSequence::~StartupSequence() = default;

void StartupSequence::installIfNeeded()
{
    db::ArchiveInstaller installer(m_home);
    if (installer.isInstalled())
        return;
    QString error;
    if (!installer.install(error)) {
        m_log.reportError(error, false);
        return;
    }
    for (const QString &line : installer.actions())
        m_log.writeLogDirect(line);
    m_log.writeLogDirect(QStringLiteral("Embedded archive installed in ") + m_home.path());
}

void StartupSequence::readInstitutionCaption()
{
    bool failed = false;
    db::ResultSet rows = m_connection->executeSQL(QStringLiteral("select company from patient_data..tbhospitalinfo"), failed);
    if (!rows.isNone() && !rows.atEnd())
        m_institution = rows.text(0);
    rows.close();
}

void StartupSequence::run()
{
    m_log.setEnabled(m_settings.readCheck(SettingsStore::Server, QStringLiteral("chkEnableLog")) == 1);
    m_connection->setDriverMode(m_home.driverMode());
    installIfNeeded();
    m_connection->connectAndWait();
    if (m_prompter) {
        db::SchemaUpgrade upgrade(*m_connection, m_log, *m_prompter);
        upgrade.checkSchemaVersion();
    }
    readInstitutionCaption();
    m_finished = true;
    emit loaded();
}

} // namespace pacs

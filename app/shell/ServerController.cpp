#include "app/shell/ServerController.h"

#include "core/Prompter.h"
#include "core/TextValues.h"
#include "db/ArchiveInstaller.h"
#include "db/SchemaUpgrade.h"
#include "dicom/ImageReception.h"
#include "transfer/EchoCommands.h"

namespace pacs {

namespace {
const QString kServer = QLatin1String(SettingsStore::Server);
}

ServerController::ServerController(const QString &homePath, const QString &commandLineText, QObject *parent)
    : QObject(parent),
      m_commandLineText(commandLineText),
      m_home(homePath.isEmpty() ? HomeFolder::defaultPath() : homePath),
      m_connection(std::make_unique<db::ArchiveConnection>(m_home, m_log)),
      m_journal(std::make_unique<db::EventJournal>(*m_connection)),
      m_host(std::make_unique<tools::HostFramework>(*m_connection, m_log, m_settings))
{
    m_log.setJournalWriter([this](const QString &description, const QString &patientId, int severity) {
        m_journal->LogEvent(description, patientId, severity);
    });
    const QByteArray retry = qgetenv("TALMIR_DB_RETRY_MS"); // test hook for the start-up wait
    if (!retry.isEmpty() && retry.toInt() > 0)
        m_connection->setRetryIntervalMs(retry.toInt());

    m_timer1.setInterval(60000);
    connect(&m_timer1, &QTimer::timeout, &m_log, &ActivityLog::tickClearTimer);
    m_timer1.start();
    m_timer2.setInterval(2000);
    connect(&m_timer2, &QTimer::timeout, this, [this] {
        m_activeVisible = !m_activeVisible;
        emit activeLabelVisibleChanged(m_activeVisible);
    });
    m_timer2.start();
}

ServerController::~ServerController() = default;

ServerOptions &ServerController::options()
{
    if (!m_options) {
        m_options = std::make_unique<ServerOptions>(m_settings, m_home.path());
        // Another profile means another HIS: reconnected at once, not at the next start.
        connect(m_options.get(), &ServerOptions::siteProfileChanged, this, [this] {
            if (m_loaded)
                m_server->LoadCustomDB(m_prompter);
        });
    }
    if (!m_options->isLoaded())
        m_options->load();
    return *m_options;
}

void ServerController::installIfNeeded()
{
    db::ArchiveInstaller installer(m_home);
    if (installer.isInstalled())
        return;
    QString error;
    if (!installer.install(error)) {
        m_log.ReportError(error, false);
        return;
    }
    for (const QString &line : installer.actions())
        m_log.writeLogDirect(line);
    m_log.writeLogDirect(QStringLiteral("Embedded archive installed in ") + m_home.path());
}

void ServerController::loadWindowSettings()
{
    m_sendTo = m_settings.read(kServer, QStringLiteral("txtSendTO"));
    m_log.setEnabled(m_settings.readCheck(kServer, QStringLiteral("chkEnableLog")) == 1);
    m_logEvents = m_settings.readCheck(kServer, QStringLiteral("chkLogEvents")) == 1;
    m_updateImageData = m_settings.readCheck(kServer, QStringLiteral("chkUpdateImageData")) == 1;
    emit checkBoxesChanged();
}

void ServerController::createServices()
{
    m_caption = QLatin1String(DesignCaption) + QStringLiteral(" ver.") + QLatin1String(Version);
    emit captionChanged(m_caption);
    const QString windir = qEnvironmentVariable("windir");
    m_windowsDrive = windir.section(QLatin1Char('\\'), 0, 0);
    if (m_windowsDrive.isEmpty())
        m_windowsDrive = QStringLiteral("C:");

    m_server = std::make_unique<DicomServer>(m_home, m_log, options(), *m_connection);
    m_server->setUpdateImageData(m_updateImageData);
    m_outbox = std::make_unique<Outbox>(*m_connection, m_log, options());
    m_scheduled = std::make_unique<ScheduledSender>(*m_connection, m_log, *m_outbox);
    m_outbox->setAddressSource([this] { return m_sendTo; });
    m_outbox->setScheduledSender([this] { m_scheduled->EnableTimerSend(); }, [this] { m_scheduled->disableTimerSend(); });
    m_scheduled->setCheckBox([this] { return m_sendEveryMin; });
    connect(m_scheduled.get(), &ScheduledSender::showOutbox, this, &ServerController::showOutbox);
    m_server->setQueueImage([this](const QString &uid) { m_scheduled->QueueImage(uid); });
    m_server->setOutboxLog([this](const QString &text) { m_outbox->myAddlog(text); });
    // Test hooks: shorter timers than the shipped 3 and 30 seconds.
    if (const int ms = qEnvironmentVariableIntValue("TALMIR_OUTBOX_TICK_MS"); ms > 0)
        m_outbox->setTickInterval(ms);
    if (const int ms = qEnvironmentVariableIntValue("TALMIR_SEND_TICK_MS"); ms > 0)
        m_scheduled->setTickInterval(ms);
    createBrowser();
}

void ServerController::createBrowser()
{
    m_studyInfo = std::make_unique<browser::StudyInfo>(*m_connection, m_log, m_studyFields, m_server->viewerImages(),
                                                       [this] { return options().storageRoot(); }, m_searching);
    // An image received without a Study UID is put in the viewer for the operator.
    connect(m_server.get(), &DicomServer::viewerImagesChanged, m_studyInfo.get(), &browser::StudyInfo::showReceivedImage);
    m_studyList = std::make_unique<browser::StudyListSearch>(*m_connection, m_log, m_studyFields, m_searching, m_timer1);
    connect(m_studyList.get(), &browser::StudyListSearch::studyOpened, m_studyInfo.get(),
            [this](const QString &) { m_studyInfo->LoadSeriesList(); });
    m_syncCommands = std::make_unique<browser::SyncStatusCommands>(*m_connection, *m_scheduled, m_studyList->grid(),
                                                                   *m_studyInfo, m_studyFields);
    m_patientStudyCorrections = std::make_unique<browser::PatientStudyCorrections>(*m_connection, m_log, m_studyFields);
    m_deletion = std::make_unique<browser::ArchiveDeletion>(
        *m_connection, m_studyFields, *m_studyInfo, *m_studyList, [this] { return m_prompter; },
        [this] { m_server->reception().forgetLastStudy(); }, m_searching);
    m_seriesCorrections = std::make_unique<browser::SeriesImageCorrections>(*m_connection, m_log, m_studyFields, *m_studyInfo);
}

bool ServerController::openArchive(QString &error)
{
    loadWindowSettings();
    m_connection->setDriverMode(m_home.driverMode());
    installIfNeeded();
    m_connection->ConnectDB();
    if (!m_connection->DBConnected()) {
        error = QStringLiteral("The archive database could not be opened (see the errors above).");
        return false;
    }
    createServices();
    return true;
}

void ServerController::load()
{
    // Settings of the main window.
    loadWindowSettings();

    m_connection->setDriverMode(m_home.driverMode());
    installIfNeeded();
    m_connection->ConnectAndWait();

    createServices();
    // Only the server itself: a command run beside a running server must not
    // take that server's writes in progress for interrupted ones.
    m_server->repairInterruptedWrites();

    if (m_commandLineText == QLatin1String("1")) {
        setListenServer(false);
    } else {
        const bool send = m_settings.readCheck(kServer, QStringLiteral("chkSendEveryMin")) == 1;
        if (send != m_sendEveryMin)
            setSendEveryMinute(send);
    }

    if (m_prompter) {
        db::SchemaUpgrade upgrade(*m_connection, m_log, *m_prompter);
        upgrade.CheckSchemaVersion();
    }
    // Images archived before the key columns existed get them from their files.
    m_imageKeys = std::make_unique<ImageKeyReader>(*m_connection, m_log, options());
    m_imageKeys->start();
    // Outgoing associations use TLS as configured even when not listening
    // (listening applies the settings itself).
    if (!m_listenServer)
        m_server->applyTlsSettings();
    m_server->ListenIfEnabled(m_listenServer);
    // The outbox comes up hidden; its first destination request goes nowhere
    // until the outgoing association exists.
    m_outbox->load();
    m_outbox->NewOutgoing();
    m_server->LoadCustomDB(m_prompter);
    m_scheduled->EnableTimerSend();
    readInstitutionCaption();
    m_loaded = true;
    emit loaded();
}

void ServerController::readInstitutionCaption()
{
    bool failed = false;
    db::ResultSet rows = m_connection->ExecuteSQL(QStringLiteral("select company from patient_data..tbhospitalinfo"), failed);
    if (!rows.isNone() && !rows.atEnd())
        m_company = rows.text(0);
    rows.close();
    m_companyVisible = true;
    emit companyChanged(m_company, true);
}

void ServerController::setListenServer(bool checked)
{
    if (checked == m_listenServer)
        return;
    m_listenServer = checked;
    if (checked) {
        if (m_server)
            m_server->ListenIfEnabled(true);
        m_timer2.start();
    } else {
        if (m_server)
            m_server->stopListening();
        m_timer2.stop();
    }
    emit checkBoxesChanged();
}

void ServerController::followPortChange()
{
    if (m_server && m_listenServer)
        m_server->followPortChange();
}

void ServerController::setSendEveryMinute(bool checked)
{
    m_sendEveryMin = checked;
    m_settings.writeCheck(kServer, QStringLiteral("chkSendEveryMin"), checked ? 1 : 0);
    if (m_scheduled)
        m_scheduled->EnableTimerSend();
    emit checkBoxesChanged();
}

void ServerController::setEnableLog(bool checked)
{
    m_log.setEnabled(checked);
    m_settings.writeCheck(kServer, QStringLiteral("chkEnableLog"), checked ? 1 : 0);
    emit checkBoxesChanged();
}

void ServerController::setLogEvents(bool checked)
{
    m_logEvents = checked;
    m_settings.writeCheck(kServer, QStringLiteral("chkLogEvents"), checked ? 1 : 0);
    emit checkBoxesChanged();
}

void ServerController::setUpdateImageData(bool checked)
{
    m_updateImageData = checked;
    if (m_server)
        m_server->setUpdateImageData(checked);
    m_settings.writeCheck(kServer, QStringLiteral("chkUpdateImageData"), checked ? 1 : 0);
    emit checkBoxesChanged();
}

void ServerController::setSendTo(const QString &text)
{
    m_sendTo = text;
    m_settings.write(kServer, QStringLiteral("txtSendTO"), text);
}

void ServerController::stopConnection()
{
    if (m_server)
        m_server->requestStopConnection();
}

QString ServerController::echoStorageNode()
{
    return EchoCommands::testStorageNode(options(), m_sendTo.trimmed());
}

void ServerController::updateDatabase()
{
    if (!m_prompter)
        return;
    db::SchemaUpgrade upgrade(*m_connection, m_log, *m_prompter);
    upgrade.updateDatabase();
    if (m_imageKeys)
        m_imageKeys->start();
}

void ServerController::refreshEvents(const std::function<void(const QString &line)> &addRow)
{
    m_searching = true;
    if (!m_journal->refresh([&](const QString &line) {
            if (!m_searching)
                return false;
            addRow(line);
            return true;
        }))
        m_log.ReportError(QStringLiteral("The event journal could not be read."), false);
    m_searching = false;
}

void ServerController::deleteEvents(const std::function<void(const QString &line)> &addRow)
{
    m_journal->deleteAll();
    refreshEvents(addRow);
}

} // namespace pacs

#pragma once

#include "browser/PatientStudyCorrections.h"
#include "browser/ArchiveDeletion.h"
#include "browser/SeriesImageCorrections.h"
#include "browser/StudyInfo.h"
#include "browser/StudyInfoFields.h"
#include "browser/StudyListSearch.h"
#include "browser/SyncStatusCommands.h"
#include "core/ActivityLog.h"
#include "core/HomeFolder.h"
#include "core/ServerOptions.h"
#include "core/SettingsStore.h"
#include "db/ArchiveConnection.h"
#include "db/EventJournal.h"
#include "dicom/DicomServer.h"
#include "dicom/ImageKeyReader.h"
#include "tools/HostFramework.h"
#include "transfer/Outbox.h"
#include "transfer/ScheduledSender.h"

#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>
#include <memory>

namespace pacs {

class Prompter;

// The main window's logic without its widgets: the start-up sequence in its
// fixed order, the window's own settings and check boxes, the housekeeping
// timers, and the commands of the "&Log" and "Events" pages. The window and
// the service mode both drive it.
class ServerController : public QObject
{
    Q_OBJECT
public:
    static constexpr const char *DesignCaption = "TALMIR PACS DICOM Server";
    static constexpr const char *DesignCompany = "TALMIR PACS SERVER";
    static constexpr const char *Version = "6.1.63";

    ServerController(const QString &homePath, const QString &commandLineText, QObject *parent = nullptr);
    ~ServerController() override;

    void setPrompter(Prompter *prompter) { m_prompter = prompter; }
    Prompter *prompter() const { return m_prompter; }

    // The main window's load: settings, database (waiting for it), schema
    // check, listener, institution caption.
    void load();
    bool isLoaded() const { return m_loaded; }
    // For an operator command without the server: settings, one attempt at
    // the database, the services built but not started (no listener, no
    // outbox timers). False with the reason when the archive cannot be opened.
    bool openArchive(QString &error);

    SettingsStore &settings() { return m_settings; }
    HomeFolder &home() { return m_home; }
    ActivityLog &log() { return m_log; }
    db::ArchiveConnection &connection() { return *m_connection; }
    db::EventJournal &journal() { return *m_journal; }
    // The settings dialog's values, read from the store on first use.
    ServerOptions &options();
    DicomServer &server() { return *m_server; }
    Outbox &outbox() { return *m_outbox; }
    ScheduledSender &scheduledSender() { return *m_scheduled; }
    ImageKeyReader &imageKeyReader() { return *m_imageKeys; }
    // The browser pages' logic (built with the services).
    browser::StudyInfoFields &studyFields() { return m_studyFields; }
    browser::StudyListSearch &studyList() { return *m_studyList; }
    browser::StudyInfo &studyInfo() { return *m_studyInfo; }
    browser::SyncStatusCommands &syncCommands() { return *m_syncCommands; }
    browser::PatientStudyCorrections &patientStudyCorrections() { return *m_patientStudyCorrections; }
    browser::ArchiveDeletion &deletion() { return *m_deletion; }
    browser::SeriesImageCorrections &seriesCorrections() { return *m_seriesCorrections; }
    // The host framework, its module class and the list windows it opens.
    tools::HostFramework &host() { return *m_host; }

    const QString &commandLineText() const { return m_commandLineText; }
    const QString &caption() const { return m_caption; }
    const QString &windowsDrive() const { return m_windowsDrive; }
    const QString &companyCaption() const { return m_company; }
    bool companyVisible() const { return m_companyVisible; }
    bool activeLabelVisible() const { return m_activeVisible; }
    QTimer &logClearTimer() { return m_timer1; }
    QTimer &blinkTimer() { return m_timer2; }

    // Check boxes and fields of the main window; setting one runs its click
    // (or change) handling, which stores it.
    bool listenServer() const { return m_listenServer; }
    void setListenServer(bool checked);
    // The settings dialog was closed: a listener moves to a changed port.
    void followPortChange();
    bool sendEveryMinute() const { return m_sendEveryMin; }
    void setSendEveryMinute(bool checked);
    bool enableLog() const { return m_log.isEnabled(); }
    void setEnableLog(bool checked);
    bool logEvents() const { return m_logEvents; }
    void setLogEvents(bool checked);
    bool updateImageData() const { return m_updateImageData; }
    void setUpdateImageData(bool checked);
    const QString &sendTo() const { return m_sendTo; }
    void setSendTo(const QString &text);

    // Commands.
    void stopConnection();   // "Stop Connection"
    void updateDatabase();   // "DB Update"
    QString echoStorageNode(); // "Test": the text of its message box
    // "Refresh" of the journal: each row of the newest hundred, while searching.
    void refreshEvents(const std::function<void(const QString &line)> &addRow);
    void deleteEvents(const std::function<void(const QString &line)> &addRow); // "Delete Events"
    bool searching() const { return m_searching; }
    void stopSearching() { m_searching = false; } // the Stop buttons

signals:
    void loaded();
    void captionChanged(const QString &caption);
    void companyChanged(const QString &caption, bool visible);
    void activeLabelVisibleChanged(bool visible);
    void checkBoxesChanged();
    void showOutbox();

private:
    void loadWindowSettings();
    void createServices();
    void createBrowser();
    void readInstitutionCaption();
    void installIfNeeded();

    QString m_commandLineText;
    SettingsStore m_settings;
    HomeFolder m_home;
    ActivityLog m_log;
    std::unique_ptr<db::ArchiveConnection> m_connection;
    std::unique_ptr<db::EventJournal> m_journal;
    std::unique_ptr<ServerOptions> m_options;
    std::unique_ptr<DicomServer> m_server;
    std::unique_ptr<Outbox> m_outbox;
    std::unique_ptr<ScheduledSender> m_scheduled;
    std::unique_ptr<ImageKeyReader> m_imageKeys;
    browser::StudyInfoFields m_studyFields;
    std::unique_ptr<browser::StudyListSearch> m_studyList;
    std::unique_ptr<browser::StudyInfo> m_studyInfo;
    std::unique_ptr<browser::SyncStatusCommands> m_syncCommands;
    std::unique_ptr<browser::PatientStudyCorrections> m_patientStudyCorrections;
    std::unique_ptr<browser::ArchiveDeletion> m_deletion;
    std::unique_ptr<browser::SeriesImageCorrections> m_seriesCorrections;
    std::unique_ptr<tools::HostFramework> m_host;
    Prompter *m_prompter = nullptr;

    QString m_caption = QLatin1String(DesignCaption);
    QString m_windowsDrive;
    QString m_company = QLatin1String(DesignCompany);
    bool m_companyVisible = false;
    bool m_activeVisible = true;
    bool m_listenServer = true;  // checked at design time
    bool m_sendEveryMin = false; // unchecked at design time
    bool m_logEvents = false;
    bool m_updateImageData = false;
    QString m_sendTo;
    bool m_searching = false;
    bool m_loaded = false;
    QTimer m_timer1; // log clearing, every minute
    QTimer m_timer2; // "ACTIVE" blinker, every two seconds while listening
};

} // namespace pacs

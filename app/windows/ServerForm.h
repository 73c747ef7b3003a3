#pragma once

#include <QMainWindow>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;
class QTableWidget;
class QGroupBox;
class QPlainTextEdit;
class QVBoxLayout;

namespace pacs {

class AddUpdateDataPage;
class OptionsDialog;
class OutboxWindow;
class PrependingTextView;
class ServerController;
class StudyInfoPage;
class StudyListPage;

// The main window: the "&Log" page with the activity log, the received-images
// box and the error box, the study list on "Browse &Data", series, images and
// the viewer on "Study Info", the settings dialog and the tools on
// "Settings", the corrections on "Add/Update Data", the journal on "Events", "DB Update" on
// "Maintenance", the send commands on "Sync Status". Closing it ends the
// program.
class ServerForm : public QMainWindow
{
    Q_OBJECT
public:
    explicit ServerForm(ServerController &controller, QWidget *parent = nullptr);

    QTabWidget *tabs() const { return m_tabs; }
    QStringList tabCaptions() const;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    QWidget *buildLogPage();
    QWidget *buildMaintenancePage();
    QWidget *buildSettingsPage();
    QWidget *buildEventsPage();
    QWidget *buildSyncStatusPage();
    QWidget *buildPlaceholderPage(const QString &title);
    QWidget *buildContainerPage();
    QWidget *buildAddUpdateContainer();
    void buildBrowserPages();
    void buildMaintenanceCommands();
    // A message box with an OK button, through the program's prompter.
    void inform(const QString &text);
    void setBusy(bool busy); // hourglass pointer
    void wireLogs();
    void syncCheckBoxes();
    void refreshEvents(bool deleteFirst);

    ServerController &m_controller;
    QTabWidget *m_tabs = nullptr;
    PrependingTextView *m_log = nullptr;
    PrependingTextView *m_inBox = nullptr;
    PrependingTextView *m_errors = nullptr;
    QGroupBox *m_fraBot = nullptr;
    QCheckBox *m_listenServer = nullptr;
    QCheckBox *m_sendEveryMin = nullptr;
    QCheckBox *m_enableLog = nullptr;
    QCheckBox *m_logEvents = nullptr;
    QCheckBox *m_updateImageData = nullptr;
    QLineEdit *m_sendTo = nullptr;
    QLabel *m_rec = nullptr;
    QLabel *m_active = nullptr;
    QLabel *m_company = nullptr;
    QPushButton *m_stopConnection = nullptr;
    QTableWidget *m_events = nullptr;
    OutboxWindow *m_outboxWindow = nullptr;
    QWidget *m_browsePage = nullptr;
    QWidget *m_studyInfoPage = nullptr;
    StudyListPage *m_studyList = nullptr;
    StudyInfoPage *m_studyInfo = nullptr;
    QWidget *m_addUpdatePage = nullptr;
    AddUpdateDataPage *m_addUpdate = nullptr;
    QPlainTextEdit *m_syncStatus = nullptr;
    QVBoxLayout *m_toolButtons = nullptr; // "Settings" page: one button per tool
    OptionsDialog *m_optionsDialog = nullptr;
};

} // namespace pacs

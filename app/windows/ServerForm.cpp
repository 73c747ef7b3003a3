#include "app/windows/ServerForm.h"

#include "app/shell/ServerController.h"
#include "app/windows/AddUpdateDataPage.h"
#include "app/windows/FolderToolButtons.h"
#include "app/windows/HostWindows.h"
#include "app/windows/OptionsDialog.h"
#include "app/windows/OutboxWindow.h"
#include "app/windows/PrependingTextView.h"
#include "app/windows/ProgramUpdatePanel.h"
#include "app/windows/ReferenceListButtons.h"
#include "app/windows/StudyInfoPage.h"
#include "app/windows/StudyListPage.h"
#include "browser/ArchiveDeletion.h"
#include "core/Prompter.h"
#include "transfer/EchoCommands.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTableWidget>
#include <QVBoxLayout>

namespace pacs {

namespace {
// Column widths were given in twips; 15 twips make a pixel on a 96 dpi screen.
constexpr int kTwipsPerPixel = 15;
} // namespace

ServerForm::ServerForm(ServerController &controller, QWidget *parent) : QMainWindow(parent), m_controller(controller)
{
    setWindowTitle(controller.caption());
    m_tabs = new QTabWidget(this);
    m_tabs->setObjectName(QStringLiteral("SSTab1"));
    m_tabs->addTab(buildLogPage(), QStringLiteral("&Log"));
    m_browsePage = buildContainerPage();
    m_tabs->addTab(m_browsePage, QStringLiteral("Browse &Data"));
    m_tabs->addTab(buildSettingsPage(), QStringLiteral("Settings"));
    addFolderToolButtons(m_tabs->widget(2), controller);
    m_studyInfoPage = buildContainerPage();
    m_tabs->addTab(m_studyInfoPage, QStringLiteral("Study Info"));
    m_addUpdatePage = buildAddUpdateContainer();
    m_tabs->addTab(m_addUpdatePage, QStringLiteral("Add/Update Data"));
    m_tabs->addTab(buildMaintenancePage(), QStringLiteral("Maintenance"));
    m_tabs->addTab(buildSyncStatusPage(), QStringLiteral("Sync Status"));
    m_tabs->addTab(buildEventsPage(), QStringLiteral("Events"));
    m_tabs->setCurrentIndex(0);
    setCentralWidget(m_tabs);
    resize(1000, 700);

    wireLogs();
    new HostWindows(controller, this); // list windows of the host framework
    syncCheckBoxes();
    connect(&controller, &ServerController::checkBoxesChanged, this, &ServerForm::syncCheckBoxes);
    connect(&controller, &ServerController::captionChanged, this, &QWidget::setWindowTitle);
    connect(&controller, &ServerController::activeLabelVisibleChanged, m_active, &QWidget::setVisible);
    connect(&controller, &ServerController::companyChanged, this, [this](const QString &caption, bool visible) {
        m_company->setText(caption);
        m_company->setVisible(visible);
    });
    connect(&controller, &ServerController::showOutbox, this, [this] {
        if (!m_outboxWindow)
            m_outboxWindow = new OutboxWindow(m_controller.outbox(), this);
        m_outboxWindow->show();
    });
    connect(&controller, &ServerController::loaded, this, [this] {
        DicomServer &server = m_controller.server();
        connect(&server, &DicomServer::receiveIndicatorChanged, m_rec, &QLabel::setText);
        connect(&server, &DicomServer::stopButtonVisibilityChanged, m_stopConnection, &QWidget::setVisible);
        buildBrowserPages();
    });
}

QStringList ServerForm::tabCaptions() const
{
    QStringList captions;
    for (int i = 0; i < m_tabs->count(); ++i)
        captions << m_tabs->tabText(i);
    return captions;
}

QWidget *ServerForm::buildLogPage()
{
    auto *page = new QWidget(this);
    auto *layout = new QVBoxLayout(page);

    auto *controls = new QHBoxLayout;
    m_listenServer = new QCheckBox(QStringLiteral("Listen Server"), page);
    m_listenServer->setObjectName(QStringLiteral("chkListenServer"));
    m_sendEveryMin = new QCheckBox(QStringLiteral("Echo Server"), page);
    m_sendEveryMin->setObjectName(QStringLiteral("chkSendEveryMin"));
    m_logEvents = new QCheckBox(QStringLiteral("Log Events"), page);
    m_logEvents->setObjectName(QStringLiteral("chkLogEvents"));
    m_stopConnection = new QPushButton(QStringLiteral("Stop Connection"), page);
    m_stopConnection->setObjectName(QStringLiteral("cmdStopConnection"));
    m_stopConnection->setVisible(false);
    m_active = new QLabel(QStringLiteral("ACTIVE"), page);
    m_active->setObjectName(QStringLiteral("lblActive"));
    m_active->setStyleSheet(QStringLiteral("color: #0a7a0a; font-weight: bold;"));
    m_rec = new QLabel(QStringLiteral("."), page);
    m_rec->setObjectName(QStringLiteral("lblRec"));
    m_rec->setMinimumWidth(120);
    controls->addWidget(m_listenServer);
    controls->addWidget(m_active);
    controls->addWidget(m_rec);
    controls->addWidget(m_sendEveryMin);
    controls->addWidget(m_logEvents);
    controls->addStretch();
    controls->addWidget(m_stopConnection);
    layout->addLayout(controls);

    auto *sendTo = new QHBoxLayout;
    sendTo->addWidget(new QLabel(QStringLiteral("Send To"), page));
    m_sendTo = new QLineEdit(page);
    m_sendTo->setObjectName(QStringLiteral("txtSendTO"));
    sendTo->addWidget(m_sendTo, 1);
    m_company = new QLabel(QLatin1String(ServerController::DesignCompany), page);
    m_company->setObjectName(QStringLiteral("lblCompany"));
    m_company->setStyleSheet(QStringLiteral("font-weight: bold;"));
    m_company->setVisible(false);
    sendTo->addWidget(m_company);
    auto *warning = new QLabel(QStringLiteral("(do not close this window)"), page);
    warning->setObjectName(QStringLiteral("txtWarning"));
    sendTo->addWidget(warning);
    layout->addLayout(sendTo);

    auto *boxes = new QHBoxLayout;
    auto *logColumn = new QVBoxLayout;
    auto *logHeader = new QHBoxLayout;
    m_enableLog = new QCheckBox(QStringLiteral("Enable Log"), page);
    m_enableLog->setObjectName(QStringLiteral("chkEnableLog"));
    auto *clearLog = new QPushButton(QStringLiteral("Clear "), page);
    clearLog->setObjectName(QStringLiteral("cmdClearLog"));
    logHeader->addWidget(m_enableLog);
    logHeader->addStretch();
    logHeader->addWidget(clearLog);
    logColumn->addLayout(logHeader);
    m_log = new PrependingTextView(page);
    m_log->setObjectName(QStringLiteral("txtLog"));
    logColumn->addWidget(m_log);
    boxes->addLayout(logColumn, 3);
    m_inBox = new PrependingTextView(page);
    m_inBox->setObjectName(QStringLiteral("txtInBox"));
    boxes->addWidget(m_inBox, 2);
    layout->addLayout(boxes, 3);

    m_fraBot = new QGroupBox(QStringLiteral("Errors"), page);
    m_fraBot->setObjectName(QStringLiteral("fraBot"));
    auto *errorLayout = new QHBoxLayout(m_fraBot);
    m_errors = new PrependingTextView(m_fraBot, 4 * 1024 * 1024);
    m_errors->setObjectName(QStringLiteral("txtErrors"));
    errorLayout->addWidget(m_errors);
    auto *clearErrors = new QPushButton(QStringLiteral("Clear"), m_fraBot);
    clearErrors->setObjectName(QStringLiteral("cmdClearErrors"));
    errorLayout->addWidget(clearErrors, 0, Qt::AlignTop);
    layout->addWidget(m_fraBot, 1);

    connect(clearLog, &QPushButton::clicked, &m_controller.log(), &ActivityLog::clearLog);
    connect(clearErrors, &QPushButton::clicked, &m_controller.log(), &ActivityLog::clearErrors);
    connect(m_enableLog, &QCheckBox::clicked, this, [this](bool on) { m_controller.setEnableLog(on); });
    connect(m_logEvents, &QCheckBox::clicked, this, [this](bool on) { m_controller.setLogEvents(on); });
    connect(m_sendEveryMin, &QCheckBox::clicked, this, [this](bool on) { m_controller.setSendEveryMinute(on); });
    connect(m_listenServer, &QCheckBox::clicked, this, [this](bool on) { m_controller.setListenServer(on); });
    connect(m_sendTo, &QLineEdit::editingFinished, this, [this] { m_controller.setSendTo(m_sendTo->text()); });
    connect(m_stopConnection, &QPushButton::clicked, this, [this] { m_controller.stopConnection(); });
    return page;
}

QWidget *ServerForm::buildMaintenancePage()
{
    auto *page = new QWidget(this);
    auto *layout = new QVBoxLayout(page);
    auto *update = new QPushButton(QStringLiteral("DB Update"), page);
    update->setObjectName(QStringLiteral("cmdUpdateDatabase"));
    connect(update, &QPushButton::clicked, this, [this] { m_controller.updateDatabase(); });
    layout->addWidget(update, 0, Qt::AlignLeft);
    HostWindows::addMaintenanceButtons(m_controller, layout, this);
    layout->addStretch();
    return page;
}

// "Settings" opens the one settings dialog, modeless; the tools' buttons
// line up under it in m_toolButtons.
QWidget *ServerForm::buildSettingsPage()
{
    auto *page = new QWidget(this);
    auto *layout = new QVBoxLayout(page);
    m_toolButtons = new QVBoxLayout;
    auto *settings = new QPushButton(QStringLiteral("Settings"), page);
    settings->setObjectName(QStringLiteral("cmdSettings"));
    m_toolButtons->addWidget(settings, 0, Qt::AlignLeft);
    m_toolButtons->addWidget(new ProgramUpdatePanel(m_controller, page), 0, Qt::AlignLeft);
    layout->addLayout(m_toolButtons);
    layout->addStretch();
    connect(settings, &QPushButton::clicked, this, [this] {
        if (!m_optionsDialog) {
            m_optionsDialog = new OptionsDialog(m_controller, this);
            connect(m_optionsDialog, &OptionsDialog::closed, &m_controller, &ServerController::followPortChange);
            connect(m_optionsDialog, &OptionsDialog::remoteAetsRequested, this,
                    [this] { HostWindows::showRemoteAets(m_controller, m_optionsDialog); });
        }
        m_optionsDialog->show();
        m_optionsDialog->raise();
        m_optionsDialog->activateWindow();
    });
    return page;
}

QWidget *ServerForm::buildEventsPage()
{
    auto *page = new QWidget(this);
    auto *layout = new QVBoxLayout(page);
    auto *buttons = new QHBoxLayout;
    auto *refresh = new QPushButton(QStringLiteral("Refresh"), page);
    refresh->setObjectName(QStringLiteral("cmdRefreshEvents"));
    auto *clear = new QPushButton(QStringLiteral("Delete Events"), page);
    clear->setObjectName(QStringLiteral("cmdClearEvents"));
    auto *stop = new QPushButton(QStringLiteral("Stop"), page);
    buttons->addWidget(refresh);
    buttons->addWidget(clear);
    buttons->addWidget(stop);
    buttons->addStretch();
    layout->addLayout(buttons);
    m_events = new QTableWidget(0, 5, page);
    m_events->setObjectName(QStringLiteral("grdEvents"));
    m_events->setHorizontalHeaderLabels({QStringLiteral("EventID"), QStringLiteral("DateTime"), QStringLiteral("Severity"),
                                         QStringLiteral("PatientID"), QStringLiteral("Description")});
    m_events->setColumnWidth(1, 2500 / kTwipsPerPixel);
    m_events->setColumnWidth(4, 7500 / kTwipsPerPixel);
    m_events->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_events->verticalHeader()->setVisible(false);
    layout->addWidget(m_events);
    connect(refresh, &QPushButton::clicked, this, [this] { refreshEvents(false); });
    connect(clear, &QPushButton::clicked, this, [this] { refreshEvents(true); });
    connect(stop, &QPushButton::clicked, this, [this] { m_controller.stopSearching(); });
    return page;
}

QWidget *ServerForm::buildSyncStatusPage()
{
    auto *page = new QWidget(this);
    auto *layout = new QVBoxLayout(page);
    auto *buttons = new QHBoxLayout;
    auto *outbox = new QPushButton(QStringLiteral("Outbox"), page);
    outbox->setObjectName(QStringLiteral("cmdOutBox"));
    auto *test = new QPushButton(QStringLiteral("Test"), page);
    test->setObjectName(QStringLiteral("cmdEcho"));
    auto *count = new QPushButton(QStringLiteral("Send Count "), page);
    count->setObjectName(QStringLiteral("cmdSyncStatusReport"));
    for (QPushButton *b : {outbox, test, count}) {
        b->setToolTip(QStringLiteral("see Transmit tab for more info"));
        buttons->addWidget(b);
    }
    auto *transmit = new QPushButton(QStringLiteral("Send Selected"), page);
    transmit->setObjectName(QStringLiteral("cmdTransmit"));
    auto *markSent = new QPushButton(QStringLiteral("Mark Listed:Sent"), page);
    markSent->setObjectName(QStringLiteral("cmdMarkListtedAsSent"));
    buttons->addWidget(transmit);
    buttons->addWidget(markSent);
    buttons->addStretch();
    layout->addLayout(buttons);

    auto *echo = new QHBoxLayout;
    auto *address = new QLineEdit(QStringLiteral("echo IP"), page);
    address->setObjectName(QStringLiteral("txtECHOIP"));
    auto *port = new QLineEdit(QStringLiteral("port"), page);
    port->setObjectName(QStringLiteral("txtEchoPort"));
    auto *calling = new QLineEdit(QStringLiteral("CallingAEName"), page);
    calling->setObjectName(QStringLiteral("txtechoCallinAEName"));
    auto *called = new QLineEdit(QStringLiteral("CalledAEName"), page);
    called->setObjectName(QStringLiteral("txtCalledAEName"));
    auto *echoButton = new QPushButton(QStringLiteral("Echo"), page);
    echoButton->setObjectName(QStringLiteral("cmdEchoTest"));
    for (QWidget *w : std::initializer_list<QWidget *>{address, port, calling, called, echoButton})
        echo->addWidget(w);
    layout->addLayout(echo);
    m_syncStatus = new QPlainTextEdit(page);
    m_syncStatus->setObjectName(QStringLiteral("txtSyncStatus"));
    m_syncStatus->setReadOnly(true);
    layout->addWidget(m_syncStatus, 1);

    // The study list's commands work on the rows "Browse Data" shows.
    connect(transmit, &QPushButton::clicked, this, [this] {
        if (m_controller.isLoaded())
            m_controller.syncCommands().SendSelected();
    });
    connect(markSent, &QPushButton::clicked, this, [this] {
        if (m_controller.isLoaded())
            m_controller.syncCommands().MarkListedAsSent();
    });
    connect(count, &QPushButton::clicked, this, [this] {
        if (m_controller.isLoaded())
            m_controller.syncCommands().SyncStatusReport();
    });

    connect(outbox, &QPushButton::clicked, this, [this] { emit m_controller.showOutbox(); });
    connect(test, &QPushButton::clicked, this, [this] {
        QMessageBox::information(this, QString(), m_controller.echoStorageNode(), QMessageBox::Ok);
    });
    connect(echoButton, &QPushButton::clicked, this, [=, this] {
        QMessageBox::information(this, QString(), EchoCommands::echo(address->text(), port->text(), calling->text(), called->text()),
                                 QMessageBox::Ok);
    });
    return page;
}

// "Auto Update Study and Pat Data" is there from the start; the correction
// frames follow once the archive is open.
QWidget *ServerForm::buildAddUpdateContainer()
{
    QWidget *page = buildContainerPage();
    m_updateImageData = new QCheckBox(QStringLiteral("Auto Update Study and Pat Data"), page);
    m_updateImageData->setObjectName(QStringLiteral("chkUpdateImageData"));
    connect(m_updateImageData, &QCheckBox::clicked, this, [this](bool on) { m_controller.setUpdateImageData(on); });
    page->layout()->addWidget(m_updateImageData);
    return page;
}

QWidget *ServerForm::buildContainerPage()
{
    auto *page = new QWidget(this);
    auto *layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    return page;
}

// The browser's logic exists once the archive is open; its pages follow.
void ServerForm::buildBrowserPages()
{
    browser::StudyListSearch &studies = m_controller.studyList();
    m_studyList = new StudyListPage(studies, m_browsePage);
    m_browsePage->layout()->addWidget(m_studyList);
    connect(&studies, &browser::StudyListSearch::tabRequested, m_tabs, &QTabWidget::setCurrentIndex);
    connect(&studies, &browser::StudyListSearch::errorMessage, this, &ServerForm::inform);

    m_studyInfo = new StudyInfoPage(m_controller.studyInfo(), m_studyInfoPage);
    m_studyInfoPage->layout()->addWidget(m_studyInfo);
    auto *sendImage = new QPushButton(QStringLiteral("Send Image"), m_studyInfo);
    sendImage->setObjectName(QStringLiteral("cmdSendImage"));
    m_studyInfo->commandRow()->addWidget(sendImage);
    connect(sendImage, &QPushButton::clicked, this, [this] { m_controller.syncCommands().SendImage(); });

    buildMaintenanceCommands();

    browser::SyncStatusCommands &sync = m_controller.syncCommands();
    connect(&sync, &browser::SyncStatusCommands::syncStatusChanged, m_syncStatus, &QPlainTextEdit::setPlainText);
    connect(&sync, &browser::SyncStatusCommands::busyChanged, this, &ServerForm::setBusy);
}

// The corrections and deletions on "Study Info", "Add/Update Data" and the
// study list; their messages are message boxes.
void ServerForm::buildMaintenanceCommands()
{
    browser::PatientStudyCorrections &patients = m_controller.patientStudyCorrections();
    browser::SeriesImageCorrections &series = m_controller.seriesCorrections();
    browser::ArchiveDeletion &deletion = m_controller.deletion();
    m_studyInfo->addMaintenanceCommands(series, patients, deletion);
    m_addUpdate = new AddUpdateDataPage(patients, series, m_addUpdatePage);
    m_addUpdatePage->layout()->addWidget(m_addUpdate);
    m_addUpdate->referenceListRow()->insertWidget(0, new ReferenceListButtons(m_controller, m_addUpdate));

    auto *deleteAll = new QPushButton(QStringLiteral("Delete ALL"), m_studyList);
    deleteAll->setObjectName(QStringLiteral("cmdDeleteALL"));
    m_studyList->commandRow()->insertWidget(3, deleteAll); // after the Stop button
    connect(deleteAll, &QPushButton::clicked, this, [&deletion] { deletion.cmdDeleteALL(); });

    connect(&patients, &browser::PatientStudyCorrections::message, this, &ServerForm::inform);
    connect(&series, &browser::SeriesImageCorrections::message, this, &ServerForm::inform);
    connect(&deletion, &browser::ArchiveDeletion::message, this, &ServerForm::inform);
    connect(&deletion, &browser::ArchiveDeletion::beep, this, [] { QApplication::beep(); });
    connect(&deletion, &browser::ArchiveDeletion::busyChanged, this, &ServerForm::setBusy);
}

void ServerForm::inform(const QString &text)
{
    if (Prompter *prompter = m_controller.prompter())
        prompter->inform(text);
    else
        QMessageBox::information(this, QString(), text, QMessageBox::Ok);
}

void ServerForm::setBusy(bool busy)
{
    if (busy)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    else
        QApplication::restoreOverrideCursor();
}

QWidget *ServerForm::buildPlaceholderPage(const QString &title)
{
    auto *page = new QWidget(this);
    auto *layout = new QVBoxLayout(page);
    auto *label = new QLabel(title, page);
    label->setStyleSheet(QStringLiteral("font-size: 14pt;"));
    layout->addWidget(label);
    layout->addStretch();
    return page;
}

void ServerForm::refreshEvents(bool deleteFirst)
{
    m_events->setRowCount(0);
    auto addRow = [this](const QString &line) {
        const QStringList fields = line.split(QLatin1Char('\t'));
        const int row = m_events->rowCount();
        m_events->insertRow(row);
        for (int c = 0; c < fields.size() && c < 5; ++c)
            m_events->setItem(row, c, new QTableWidgetItem(fields[c]));
    };
    if (deleteFirst)
        m_controller.deleteEvents(addRow);
    else
        m_controller.refreshEvents(addRow);
}

void ServerForm::wireLogs()
{
    ActivityLog &log = m_controller.log();
    m_log->setAllText(log.logText());
    m_inBox->setAllText(log.receivedText());
    m_errors->setAllText(log.errorText());
    connect(&log, &ActivityLog::logLineAdded, m_log, &PrependingTextView::prependText);
    connect(&log, &ActivityLog::receivedLineAdded, m_inBox, &PrependingTextView::prependText);
    connect(&log, &ActivityLog::errorLineAdded, m_errors, &PrependingTextView::prependText);
    connect(&log, &ActivityLog::logCleared, m_log, &QPlainTextEdit::clear);
    connect(&log, &ActivityLog::receivedCleared, m_inBox, &QPlainTextEdit::clear);
    connect(&log, &ActivityLog::errorsCleared, m_errors, &QPlainTextEdit::clear);
    connect(&log, &ActivityLog::showLogPage, this, [this] { m_tabs->setCurrentIndex(0); });
}

void ServerForm::syncCheckBoxes()
{
    m_listenServer->setChecked(m_controller.listenServer());
    m_sendEveryMin->setChecked(m_controller.sendEveryMinute());
    m_enableLog->setChecked(m_controller.enableLog());
    m_logEvents->setChecked(m_controller.logEvents());
    m_updateImageData->setChecked(m_controller.updateImageData());
    if (!m_sendTo->hasFocus())
        m_sendTo->setText(m_controller.sendTo());
}

void ServerForm::closeEvent(QCloseEvent *event)
{
    event->accept();
    QCoreApplication::quit();
}

} // namespace pacs

#include "app/shell/ServerController.h"
#include "app/windows/ServerForm.h"
#include "app/windows/SplashWindow.h"
#include "core/Prompter.h"
#include "tests/support/ServerDatabase.h"
#include "tests/support/TestSupport.h"

#include <QBrush>
#include <QCheckBox>
#include <QColor>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTableView>
#include <QTableWidget>
#include <gtest/gtest.h>

using namespace pacs;
using namespace pacs::test;

namespace {
class NoPrompter : public Prompter
{
public:
    bool askYesNo(const QString &) override { return false; }
    void inform(const QString &) override {}
};
} // namespace

TEST(ServerForm, LoadsWithItsPagesInOrderAndShowsTheLog)
{
    ScratchHome scratch;
    ServerController controller(scratch.home(), QString());
    controller.settings().write("SERVER", "PORT", "0");
    NoPrompter prompter;
    controller.setPrompter(&prompter);
    ServerForm form(controller);
    bool started = false;
    auto *splash = new SplashWindow([&] {
        form.show();
        controller.load();
        started = true;
    }, 60000);
    splash->show();
    EXPECT_EQ(splash->remainingText(), "60");
    splash->pressStart(); // Start before the minute is up
    ASSERT_TRUE(started);

    EXPECT_EQ(form.tabCaptions(), (QStringList{"&Log", "Browse &Data", "Settings", "Study Info", "Add/Update Data",
                                               "Maintenance", "Sync Status", "Events"}));
    EXPECT_EQ(form.tabs()->currentIndex(), 0);
    EXPECT_EQ(form.windowTitle(), "TALMIR PACS DICOM Server ver.6.1.63");
    auto *log = form.findChild<QPlainTextEdit *>("txtLog");
    ASSERT_NE(log, nullptr);
    EXPECT_TRUE(log->toPlainText().contains(ServerDatabase::enabled() ? "Connected to DB. Server=127.0.0.1" : "Connected to DB. Database=archive.db"));
    EXPECT_TRUE(log->toPlainText().startsWith("Listening on port ")) << log->toPlainText().toStdString();
    auto *errors = form.findChild<QPlainTextEdit *>("txtErrors");
    EXPECT_EQ(errors->toPlainText(), "---\n");
    auto *company = form.findChild<QLabel *>("lblCompany");
    EXPECT_TRUE(company->isVisible());
    EXPECT_EQ(company->text(), "TALMIR DEMO HOSPITAL");
    EXPECT_TRUE(form.findChild<QCheckBox *>("chkListenServer")->isChecked());
    EXPECT_TRUE(form.findChild<QCheckBox *>("chkEnableLog")->isChecked());

    // An error brings the "&Log" page into view.
    form.tabs()->setCurrentIndex(7);
    controller.log().ReportError("Something failed", false);
    EXPECT_EQ(form.tabs()->currentIndex(), 0);
    EXPECT_TRUE(errors->toPlainText().contains(" :  Something failed"));

    // Unchecking "Listen Server" stops listening and the blinker.
    form.findChild<QCheckBox *>("chkListenServer")->click();
    EXPECT_FALSE(controller.server().listener().isListening());
    EXPECT_FALSE(controller.blinkTimer().isActive());

    const QString shots = qEnvironmentVariable("PACS_SCREENSHOT_DIR");
    if (!shots.isEmpty()) {
        form.findChild<QCheckBox *>("chkListenServer")->click();
        controller.log().clearErrors();
        QDir().mkpath(shots);
        form.grab().save(shots + "/main-window.png");
    }
}

TEST(ServerController, CommandLineOneLeavesListenerBlinkerAndSenderOff)
{
    ScratchHome scratch;
    ServerController controller(scratch.home(), "1");
    controller.settings().write("SERVER", "PORT", "0");
    controller.settings().write("SERVER", "chkSendEveryMin", "1");
    controller.load();
    EXPECT_FALSE(controller.listenServer());
    EXPECT_FALSE(controller.server().listener().isListening());
    EXPECT_FALSE(controller.blinkTimer().isActive());
    EXPECT_FALSE(controller.sendEveryMinute());

    ScratchHome other;
    ServerController normal(other.home(), "");
    normal.settings().write("SERVER", "PORT", "0");
    normal.settings().write("SERVER", "chkSendEveryMin", "1");
    normal.load();
    EXPECT_TRUE(normal.server().listener().isListening());
    EXPECT_TRUE(normal.blinkTimer().isActive());
    EXPECT_TRUE(normal.sendEveryMinute());
    EXPECT_EQ(normal.windowsDrive(), "C:");
}

TEST(ServerController, TheReceiveIndicatorClearsAtNineteenDots)
{
    ScratchHome scratch;
    ServerController controller(scratch.home(), "1");
    controller.load();
    DicomServer &server = controller.server();
    EXPECT_EQ(server.receiveIndicator(), ".");
    for (int i = 0; i < 17; ++i)
        server.TickReceiveIndicator();
    EXPECT_EQ(server.receiveIndicator(), QString(18, '.'));
    server.TickReceiveIndicator();
    EXPECT_EQ(server.receiveIndicator(), "");
    server.TickReceiveIndicator();
    EXPECT_EQ(server.receiveIndicator(), ".");
    controller.stopConnection();
    EXPECT_TRUE(server.takeStopConnectionRequest());
    EXPECT_FALSE(server.takeStopConnectionRequest());
}

TEST(ServerForm, TheOutboxWindowShowsTheQueue)
{
    ScratchHome scratch;
    ServerController controller(scratch.home(), "1");
    NoPrompter prompter;
    controller.setPrompter(&prompter);
    ServerForm form(controller);
    form.show();
    controller.load();
    controller.scheduledSender().QueueImage("1.2.3.4");
    QTableWidget *grid = nullptr;
    ASSERT_TRUE(waitUntil([&] {
        grid = form.findChild<QTableWidget *>("grdOutGoing");
        return grid && grid->isVisible() && grid->rowCount() == 1;
    }, 5000));
    EXPECT_EQ(grid->item(0, 0)->text(), "IMAGE");
    EXPECT_EQ(grid->item(0, 1)->text(), " 1.2.3.4");
    grid->window()->close(); // closing discards the queue
    EXPECT_TRUE(controller.outbox().outgoingList().isEmpty());
}

TEST(ServerForm, TheBrowserPagesWorkTogetherWithTheSendCommands)
{
    ScratchHome scratch;
    ServerController controller(scratch.home(), "1");
    NoPrompter prompter;
    controller.setPrompter(&prompter);
    ServerForm form(controller);
    form.show();
    controller.load();
    auto run = [&](const QString &sql) {
        bool failed = false;
        controller.connection().ExecuteSQL(sql, failed);
        ASSERT_FALSE(failed) << sql.toStdString();
    };
    run("INSERT INTO PatientTable (PatientID, Name_Last, Name_First) VALUES ('P1', 'SMITH', 'JOHN'), ('P2', 'DOE', 'JANE')");
    run("INSERT INTO StudyTable (StudyUID, PatientID_FKey, StudyDate, StudyTime) VALUES "
        "('1.1', 'P1', '1/15/2024', '10:00:00'), ('1.2', 'P2', '1/16/2024', '10:00:00')");
    run("INSERT INTO SeriesTable (SeriesUID, StudyUID_FKey, Modality) VALUES ('1.1.1', '1.1', 'CT'), ('1.2.1', '1.2', 'MR')");
    run("INSERT INTO ImageTable (InstanceUID, SeriesUID_FKey, Filename, SyncStatus) VALUES "
        "('1.1.1.1', '1.1.1', 'C:\\IMAGES\\a.dcm', '1'), ('1.1.1.2', '1.1.1', 'C:\\IMAGES\\b.dcm', NULL), "
        "('1.2.1.1', '1.2.1', 'C:\\IMAGES\\c.dcm', '1')");

    // Search, then open the older study by double click.
    auto *search = form.findChild<QPushButton *>("btnFilter");
    ASSERT_NE(search, nullptr);
    search->click();
    auto *grid = form.findChild<QTableView *>("fgridPacs");
    ASSERT_NE(grid, nullptr);
    ASSERT_EQ(grid->model()->rowCount(), 2);
    EXPECT_EQ(form.findChild<QLabel *>("lblCount")->text(), "2");
    const QModelIndex older = grid->model()->index(1, 3);
    EXPECT_EQ(older.data().toString(), "1.1");
    emit grid->doubleClicked(older);
    EXPECT_EQ(form.tabs()->currentIndex(), 3);
    EXPECT_EQ(form.findChild<QLineEdit *>("txtStudyUID")->text(), "1.1");
    auto *series = form.findChild<QTableView *>("GridSeries");
    ASSERT_NE(series, nullptr);
    EXPECT_EQ(series->model()->rowCount(), 1);
    EXPECT_EQ(form.findChild<QTableView *>("GridImages")->model()->rowCount(), 2);

    // "Send Count " over the listed studies: one of two images of P1 has gone.
    form.findChild<QPushButton *>("cmdSyncStatusReport")->click();
    const QString report = form.findChild<QPlainTextEdit *>("txtSyncStatus")->toPlainText();
    EXPECT_TRUE(report.contains("P1 SMITH, JOHN")) << report.toStdString();
    EXPECT_TRUE(report.contains("Total Images: 2/3"));
    EXPECT_EQ(grid->model()->index(1, 20).data().toString(), "1/2");
    EXPECT_EQ(grid->model()->index(1, 19).data(Qt::BackgroundRole).value<QBrush>().color(), QColor(0xFF80FF));
    EXPECT_EQ(grid->model()->index(0, 19).data(Qt::BackgroundRole).value<QBrush>().color(), QColor(0xFFFFFF));

    // "Send Selected" queues the selected rows' studies in the outbox.
    grid->selectRow(0);
    form.findChild<QPushButton *>("cmdTransmit")->click();
    EXPECT_EQ(controller.outbox().outgoingList(), QStringList{"STUDY\t 1.2"});
}

// The host framework's windows over a loaded server: the maintenance
// buttons, the remote AE list window and the reference list buttons.
#include "app/shell/ServerController.h"
#include "app/windows/BrowseRowDialog.h"
#include "app/windows/BrowseWindow.h"
#include "app/windows/HostWindows.h"
#include "app/windows/ReferenceListButtons.h"
#include "app/windows/ServerForm.h"
#include "core/Prompter.h"
#include "tests/support/TestSupport.h"
#include "tools/BrowseTableModel.h"

#include <QDir>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <gtest/gtest.h>

using namespace pacs;
using namespace pacs::test;

namespace {

class AnswerYes : public Prompter
{
public:
    QStringList asked;
    bool askYesNo(const QString &text) override
    {
        asked << text;
        return text.startsWith("Delete ");
    }
    void inform(const QString &) override {}
};

class HostWindowsFixture : public ::testing::Test
{
protected:
    void SetUp() override
    {
        controller.settings().write("SERVER", "PORT", "0");
        controller.setPrompter(&prompter);
        controller.load();
        hostWindows = form.findChild<HostWindows *>();
        ASSERT_NE(hostWindows, nullptr);
    }
    QString scalar(const QString &sql)
    {
        db::ResultSet rows = controller.connection().ExecuteSQL(sql);
        return rows.atEnd() ? QStringLiteral("<none>") : rows.text(0);
    }
    BrowseWindow *newestWindow() const
    {
        const QList<BrowseWindow *> open = hostWindows->browseWindows();
        return open.isEmpty() ? nullptr : open.last();
    }
    // Fills the form the window opened and presses OK.
    BrowseRowDialog *fillForm(BrowseWindow *window, const QMap<QString, QString> &values)
    {
        auto *dialog = window->findChild<BrowseRowDialog *>("frmBrowseRow");
        if (!dialog)
            return nullptr;
        for (auto it = values.cbegin(); it != values.cend(); ++it) {
            auto *box = dialog->findChild<QLineEdit *>("txt" + it.key());
            EXPECT_NE(box, nullptr) << it.key().toStdString();
            if (box)
                box->setText(it.value());
        }
        dialog->findChild<QPushButton *>("cmdOk")->click();
        return dialog;
    }
    void choose(BrowseWindow *window, int row)
    {
        window->view()->selectionModel()->select(window->model().index(row, 0),
                                                 QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    }

    ScratchHome scratch;
    ServerController controller{scratch.home(), QString()};
    AnswerYes prompter;
    ServerForm form{controller};
    HostWindows *hostWindows = nullptr;
};

TEST_F(HostWindowsFixture, MaintenanceButtonsSetUpTheFrameworkAndItsListViews)
{
    auto *defaults = form.findChild<QPushButton *>("cmdDefaultListViews");
    auto *init = form.findChild<QPushButton *>("cmdInitVorn");
    ASSERT_NE(defaults, nullptr);
    ASSERT_NE(init, nullptr);
    EXPECT_EQ(defaults->text(), "Default List Views");
    EXPECT_EQ(init->text(), "INIT VORN");
    EXPECT_EQ(form.tabs()->indexOf(defaults->parentWidget()), 5); // "Maintenance"
    defaults->click();
    EXPECT_EQ(scalar("select count(*) from ListView where ModuleTPX='ROZAZIZERARARIZAZ'"), "3");
    EXPECT_TRUE(controller.log().logText().contains("Done default list."));
    init->click();
    EXPECT_EQ(controller.host().creations(), 1);
    EXPECT_EQ(controller.host().module().DBVersionDetected, 2);
    EXPECT_EQ(scalar("select count(*) from ROZAZIZERARARIZAZ_TableName"), "0");
}

TEST_F(HostWindowsFixture, TheRemoteAeWindowAddsEditsAndDeletesDestinations)
{
    QWidget options;
    options.setObjectName("frmOptions");
    QString error;
    ASSERT_TRUE(controller.host().cmdDefaultListViews("", error)) << error.toStdString();
    ASSERT_TRUE(HostWindows::showRemoteAets(controller, &options));
    BrowseWindow *window = newestWindow();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->parentWidget(), &options);
    EXPECT_EQ(window->windowTitle(), "REMOTEAETs List");
    EXPECT_EQ(window->findChild<QLineEdit *>("txtFind1"), nullptr); // the list has no find
    for (const char *name : {"cmdAdd", "cmdEdit", "cmdDelete"})
        EXPECT_FALSE(window->findChild<QPushButton *>(name)->isHidden()) << name;
    EXPECT_EQ(window->view()->columnWidth(0), 133);

    window->findChild<QPushButton *>("cmdAdd")->click();
    BrowseRowDialog *form1 = fillForm(window, {{"RemoteAET", "VIEWER1"}, {"IPAddress", "10.1.1.20"}, {"Port", "104"}});
    ASSERT_NE(form1, nullptr);
    EXPECT_TRUE(waitUntil([&] { return window->findChild<BrowseRowDialog *>("frmBrowseRow") == nullptr; }));
    window->findChild<QPushButton *>("cmdAdd")->click();
    BrowseRowDialog *form2 = fillForm(window, {{"RemoteAET", "WORKSTATION2"}, {"IPAddress", "ws2.radiology"}, {"Port", "11112x"}});
    ASSERT_NE(form2, nullptr);
    EXPECT_TRUE(form2->message().startsWith("A port is a number")) << form2->message().toStdString();
    form2->setValue("Port", "11112");
    form2->save();
    EXPECT_TRUE(waitUntil([&] { return window->findChild<BrowseRowDialog *>("frmBrowseRow") == nullptr; }));
    EXPECT_EQ(window->model().rowCount(), 2);
    EXPECT_EQ(window->findChild<QLabel *>("lblStatus")->text(), "2 rows");
    EXPECT_EQ(scalar("select Port from RemoteAETs where RemoteAET='WORKSTATION2'"), "11112");

    const QString shots = qEnvironmentVariable("PACS_SCREENSHOT_DIR");
    if (!shots.isEmpty()) {
        QDir().mkpath(shots);
        window->grab().save(shots + "/remote-aets.png");
    }

    choose(window, window->model().rowOfKey("VIEWER1"));
    window->findChild<QPushButton *>("cmdEdit")->click();
    auto *edit = window->findChild<BrowseRowDialog *>("frmBrowseRow");
    ASSERT_NE(edit, nullptr);
    EXPECT_EQ(edit->values(), (QStringList{"VIEWER1", "10.1.1.20", "104"}));
    fillForm(window, {{"IPAddress", "10.1.1.21"}});
    EXPECT_EQ(scalar("select IPAddress from RemoteAETs where RemoteAET='VIEWER1'"), "10.1.1.21");

    choose(window, window->model().rowOfKey("VIEWER1"));
    window->findChild<QPushButton *>("cmdDelete")->click();
    EXPECT_EQ(prompter.asked.last(), "Delete VIEWER1 (10.1.1.21)?");
    EXPECT_EQ(scalar("select count(*) from RemoteAETs"), "1");
    EXPECT_EQ(window->model().rowCount(), 1);
}

TEST_F(HostWindowsFixture, ReferenceListButtonsOpenTheirListsOverTheMainWindow)
{
    auto *buttons = new ReferenceListButtons(controller, form.tabs()->widget(4));
    EXPECT_EQ(buttons->findChild<QPushButton *>("cmdDoctors")->text(), "Doctors");
    EXPECT_EQ(buttons->findChild<QPushButton *>("cmdPatients")->text(), "PACS Patients");
    buttons->findChild<QPushButton *>("cmdHISPatients")->click();
    BrowseWindow *his = newestWindow();
    ASSERT_NE(his, nullptr);
    EXPECT_EQ(his->parentWidget(), &form);
    EXPECT_TRUE(his->findChild<QPushButton *>("cmdAdd")->isHidden());
    EXPECT_TRUE(his->findChild<QPushButton *>("cmdDelete")->isHidden());
    EXPECT_EQ(his->findChild<QLabel *>("lblStatus")->text(), "Find first.");
    his->findChild<QLineEdit *>("txtFind2")->setText("do");
    his->findChild<QPushButton *>("cmdFind")->click();
    ASSERT_EQ(his->model().rowCount(), 1);
    EXPECT_EQ(his->model().key(0), "P002");

    buttons->findChild<QPushButton *>("cmdDoctors")->click();
    BrowseWindow *doctors = newestWindow();
    ASSERT_NE(doctors, his);
    EXPECT_EQ(doctors->model().rowCount(), 2);
    doctors->findChild<QPushButton *>("cmdAdd")->click();
    auto *add = doctors->findChild<BrowseRowDialog *>("frmBrowseRow");
    ASSERT_NE(add, nullptr);
    EXPECT_EQ(add->findChild<QLineEdit *>("txtFirstName")->text(), "A");
    fillForm(doctors, {{"DoctorID", "D010"}, {"LastName", "WELBY"}, {"FirstName", "MARCUS"}});
    EXPECT_EQ(scalar("select FirstName from Build_File..tbcodoctor where DoctorID='D010'"), "MARCUS");
    EXPECT_EQ(doctors->model().rowCount(), 3);

    // The module's "close all windows" closes the lists first.
    QPointer<BrowseWindow> gone = doctors;
    controller.host().module().CloseAllWindows();
    EXPECT_TRUE(waitUntil([&] { return gone.isNull() && hostWindows->browseWindows().isEmpty(); }));
}

TEST_F(HostWindowsFixture, TheSettingsDialogAndTheAddUpdatePageOpenTheirLists)
{
    auto *doctors = form.findChild<QPushButton *>("cmdDoctors");
    ASSERT_NE(doctors, nullptr);
    EXPECT_EQ(form.tabs()->tabText(4), "Add/Update Data");
    EXPECT_TRUE(form.tabs()->widget(4)->isAncestorOf(doctors));
    form.findChild<QPushButton *>("cmdSettings")->click();
    auto *remote = form.findChild<QPushButton *>("cmdRemoteAET");
    ASSERT_NE(remote, nullptr);
    remote->click();
    BrowseWindow *window = newestWindow();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->windowTitle(), "REMOTEAETs List");
    EXPECT_EQ(window->parentWidget(), remote->window());
}

} // namespace

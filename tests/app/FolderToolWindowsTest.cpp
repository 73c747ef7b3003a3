// "Check Mismatch" and "Folder Transmit" opened from the main window's
// "Settings" page and worked through their controls, the folder sent to the
// program's own listener.
#include "app/shell/ServerController.h"
#include "app/windows/ServerForm.h"
#include "core/Prompter.h"
#include "db/SqlText.h"
#include "tests/support/SampleImages.h"
#include "tests/support/TestSupport.h"

#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <gtest/gtest.h>

using namespace pacs;
using namespace pacs::test;

namespace {

class RecordingPrompter : public Prompter
{
public:
    QStringList shown;
    bool askYesNo(const QString &) override { return false; }
    void inform(const QString &text) override { shown << text; }
};

class FolderToolWindows : public ::testing::Test
{
protected:
    void SetUp() override
    {
        controller.settings().write("SERVER", "PORT", "0");
        controller.setPrompter(&prompter);
        form.show();
        controller.load();
        ASSERT_TRUE(controller.server().listener().isListening()) << controller.log().errorText().toStdString();
        ASSERT_TRUE(files.isValid());
    }

    QPushButton *settingsButton(const char *name)
    {
        const int page = form.tabCaptions().indexOf("Settings");
        EXPECT_GE(page, 0);
        form.tabs()->setCurrentIndex(page);
        return form.tabs()->widget(page)->findChild<QPushButton *>(name);
    }

    QString sample(const QString &name, const QString &id, const QString &patientName)
    {
        SampleSpec spec;
        spec.patientId = id;
        spec.patientName = patientName;
        const QString path = files.path() + "/" + name;
        EXPECT_FALSE(writeSample(path, spec).isEmpty());
        return path;
    }

    int count(const QString &sql)
    {
        db::ResultSet rows = controller.connection().ExecuteSQL(sql);
        return rows.atEnd() ? -1 : rows.text(0).toInt();
    }

    ScratchHome scratch;
    ServerController controller{scratch.home(), QString()};
    RecordingPrompter prompter;
    ServerForm form{controller};
    QTemporaryDir files;
};

} // namespace

TEST_F(FolderToolWindows, CheckMismatchReadsNamesAndStops)
{
    QPushButton *open = settingsButton("cmdCheckMismatch");
    ASSERT_NE(open, nullptr);
    EXPECT_EQ(open->text(), "Check Mismatch");
    open->click();
    auto *window = form.findChild<QWidget *>("frmCheckMismatch");
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->isVisible());
    EXPECT_FALSE(window->isModal());
    EXPECT_EQ(window->windowTitle(), "Check Mismatched names");
    auto *folder = window->findChild<QLineEdit *>("txtCheckDir");
    auto *read = window->findChild<QPushButton *>("cmdRead");
    auto *stop = window->findChild<QPushButton *>("cmdStopCheck");
    auto *transmit = window->findChild<QCheckBox *>("chkTransmitNotFound");
    auto *report = window->findChild<QPlainTextEdit *>("txtCheck");
    ASSERT_TRUE(folder && read && stop && transmit && report);
    EXPECT_EQ(folder->text(), controller.options().storageRoot());
    EXPECT_EQ(read->text(), "Read Names");
    EXPECT_EQ(stop->text(), "Stop");
    EXPECT_EQ(transmit->text(), "Transmit not found");
    EXPECT_FALSE(transmit->isChecked());

    controller.connection().ExecuteSQL("insert into PatientTable (PatientID, Name_Last) values ('P1', 'DOE')");
    sample("1.dcm", "P1", "DOE^JOHN");
    sample("2.dcm", "P2", "NEW^PATIENT");
    folder->setText(files.path());
    read->click();
    EXPECT_EQ(report->toPlainText(), "\nmatch DB:DOE for P1 \nPatient not Found. P2 NEW^PATIENT\nDONE.");
    EXPECT_TRUE(read->isEnabled());

    // "Stop" pressed while the first file is reported: the second is not read.
    bool readWasEnabled = true;
    const QMetaObject::Connection pressStop =
        QObject::connect(report, &QPlainTextEdit::textChanged, [&] {
            readWasEnabled = readWasEnabled && read->isEnabled();
            stop->click();
        });
    read->click();
    QObject::disconnect(pressStop);
    EXPECT_FALSE(readWasEnabled) << "no second check while one runs";
    EXPECT_TRUE(report->toPlainText().endsWith("DONE.\nmatch DB:DOE for P1 \nDONE.")) << report->toPlainText().toStdString();

    if (const QString shots = qEnvironmentVariable("PACS_SCREENSHOT_DIR"); !shots.isEmpty()) {
        QDir().mkpath(shots);
        window->grab().save(shots + "/check-mismatch.png");
    }

    // Closing hides the window; the button shows the same one again.
    window->close();
    EXPECT_FALSE(window->isVisible());
    open->click();
    EXPECT_EQ(form.findChild<QWidget *>("frmCheckMismatch"), window);
    EXPECT_TRUE(window->isVisible());
}

TEST_F(FolderToolWindows, FolderTransmitImportsIntoTheArchiveAndReportsAFailureInAMessageBox)
{
    QPushButton *open = settingsButton("cmdFolderTransmit");
    ASSERT_NE(open, nullptr);
    EXPECT_EQ(open->text(), "Folder Transmit");
    open->click();
    auto *window = form.findChild<QWidget *>("frmFolderTransmit");
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->windowTitle(), "Folder Transmit");
    auto *dir = window->findChild<QLineEdit *>("txtDir");
    auto *ext = window->findChild<QLineEdit *>("txtExt");
    auto *import = window->findChild<QPushButton *>("cmdImport");
    auto *progress = window->findChild<QPlainTextEdit *>("txtTrans");
    ASSERT_TRUE(dir && ext && import && progress);
    EXPECT_EQ(dir->text(), QDir::tempPath());
    EXPECT_EQ(ext->text(), "DCM");
    EXPECT_EQ(import->text(), "Transmit");
    bool hint = false;
    for (QLabel *label : window->findChildren<QLabel *>())
        hint = hint || label->text() == "(verify  *.DCM files are in folder)";
    EXPECT_TRUE(hint);

    ServerOptions &options = controller.options();
    options.setStorageNode("127.0.0.1");
    options.setStoragePort(QString::number(controller.server().listener().listeningPort()));
    options.setStorageAE("TALMIR");
    const QString a = sample("a.dcm", "P31", "IMPORT^ONE");
    const QString b = sample("b.dcm", "P31", "IMPORT^ONE");
    const QString c = sample("c.DCM", "P32", "IMPORT^TWO");
    dir->setText(files.path());
    import->click();
    EXPECT_TRUE(prompter.shown.isEmpty()) << prompter.shown.join("|").toStdString();
    EXPECT_EQ(progress->toPlainText(),
              "\nstarting\n" + a + "\nsending...\n" + b + "\nsending...\n" + c + "\nsending...\ndone");
    EXPECT_TRUE(waitUntil([&] { return count("select count(*) from ImageTable") == 3; }, 20000))
        << controller.log().errorText().toStdString();
    EXPECT_EQ(count("select count(*) from PatientTable where PatientID in ('P31', 'P32')"), 2);

    if (const QString shots = qEnvironmentVariable("PACS_SCREENSHOT_DIR"); !shots.isEmpty()) {
        QDir().mkpath(shots);
        window->grab().save(shots + "/folder-transmit.png");
    }

    options.setStoragePort("not a port");
    import->click();
    ASSERT_EQ(prompter.shown.size(), 1);
    EXPECT_TRUE(prompter.shown[0].startsWith("Type mismatch")) << prompter.shown[0].toStdString();
    EXPECT_TRUE(progress->toPlainText().endsWith(a + "\nsending...")) << progress->toPlainText().toStdString();
    EXPECT_TRUE(import->isEnabled());
}

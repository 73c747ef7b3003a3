// The settings dialog as the operator uses it: opened from the main window,
// typed into, closed and reopened, and obeyed by the running server.
#include "app/shell/ServerController.h"
#include "app/windows/OptionsDialog.h"
#include "app/windows/ServerForm.h"
#include "core/Prompter.h"
#include "dicom/HisFeedback.h"
#include "tests/support/Peers.h"
#include "tests/support/SampleImages.h"
#include "tests/support/TestSupport.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

using namespace pacs;
using namespace pacs::test;

namespace {

class Quiet : public Prompter
{
public:
    bool askYesNo(const QString &) override { return false; }
    void inform(const QString &text) override { messages << text; }
    QStringList messages;
};

// The main window of an installation and its settings dialog, opened the
// operator's way: the "Settings" button on the "Settings" page.
class Window
{
public:
    explicit Window(const ScratchHome &scratch, bool load = false) : controller(scratch.home(), load ? "" : "1")
    {
        controller.setPrompter(&prompter);
        form.show();
        if (load)
            controller.load();
    }

    OptionsDialog *openOptions()
    {
        form.tabs()->setCurrentIndex(2);
        auto *button = form.findChild<QPushButton *>("cmdSettings");
        if (!button)
            return nullptr;
        button->click();
        return form.findChild<OptionsDialog *>("frmOptions");
    }

    template <class T> T *control(const char *name)
    {
        T *found = form.findChild<T *>(name);
        if (!found)
            ADD_FAILURE() << "no control " << name;
        return found;
    }

    // What a restarted program would read.
    QString stored(const QString &section, const QString &key) { return SettingsStore().read(section, key, "<absent>"); }

    Quiet prompter;
    ServerController controller;
    ServerForm form{controller};
};

void retype(QLineEdit *field, const QString &text)
{
    field->setFocus();
    field->selectAll();
    QTest::keyClick(field, Qt::Key_Delete);
    QTest::keyClicks(field, text);
}

} // namespace

TEST(OptionsDialog, AFreshInstallationShowsTheDefaultsAndStoresPortAndAeTitle)
{
    ScratchHome scratch;
    Window w(scratch);
    OptionsDialog *dialog = w.openOptions();
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_FALSE(dialog->isModal());
    EXPECT_EQ(dialog->windowTitle(), "Options");

    EXPECT_EQ(w.control<QLineEdit>("Port")->text(), "104");
    EXPECT_EQ(w.control<QLineEdit>("AEName")->text(), "TALMIR");
    EXPECT_EQ(w.control<QLineEdit>("txtDrive")->text(), scratch.home() + "/");
    EXPECT_EQ(w.control<QLineEdit>("txtJPEGQuality")->text(), "0");
    for (const char *empty : {"StorageAE", "StorageNode", "StoragePort"})
        EXPECT_EQ(w.control<QLineEdit>(empty)->text(), "") << empty;
    for (const char *checked : {"chkStorebyInst", "chkDisregardDuplicates", "chkSavetoDBbeforeSaveImage"})
        EXPECT_TRUE(w.control<QCheckBox>(checked)->isChecked()) << checked;
    for (const char *unchecked : {"chkAuotEcho", "chkTraceMode", "chkHospNumExist", "chkDisregardDifferentName",
                                  "chkUseCallingRemoteIP", "chkCheckRequestNum"})
        EXPECT_FALSE(w.control<QCheckBox>(unchecked)->isChecked()) << unchecked;
    EXPECT_TRUE(w.control<QRadioButton>("optDisregard")->isChecked());
    EXPECT_FALSE(w.control<QRadioButton>("optCreateTempID")->isChecked());
    EXPECT_FALSE(w.control<QGroupBox>("fraSameID")->isEnabled());
    for (const char *profile : {"optORVIK", "optQuillstad", "optBrackmoor", "optTessmark", "optNone"})
        EXPECT_FALSE(w.control<QRadioButton>(profile)->isChecked()) << profile;

    EXPECT_EQ(w.stored("SERVER", "PORT"), "104");
    EXPECT_EQ(w.stored("SERVER", "AEName"), "TALMIR");
    EXPECT_EQ(w.stored("SERVER", "ServerDrive"), "<absent>");
    EXPECT_EQ(w.stored("SERVER", "StorageNode"), "<absent>");

    // Captions as the operator reads them.
    const std::pair<const char *, const char *> frames[] = {
        {"fraThisEntity", "This Entity"}, {"fraRemoteStorage", "Remote SCP Storage"}, {"fraStorage", "Storage"},
        {"fraSynchronize", "Synchronize"}, {"fraOptions", "Options"}, {"fraSameID", "Same ID but different Name"},
        {"fraCustom", "CustomDB"}, {"fraSecurity", "Security"}};
    for (const auto &[name, caption] : frames)
        EXPECT_EQ(w.control<QGroupBox>(name)->title(), caption);
    EXPECT_EQ(w.control<QCheckBox>("chkDisregardDifferentName")->text(), "Check exitsting ID with different name");
    EXPECT_EQ(w.control<QPushButton>("cmdOk")->text(), "&Close");
    EXPECT_EQ(w.control<QPushButton>("cmdRemoteAET")->text(), "Remote AETs");
    EXPECT_EQ(w.control<QPushButton>("cmdInstallAsService")->text(), "Install as Service");

    // "Remote AETs" before the archive is there says so and does no harm.
    w.control<QPushButton>("cmdRemoteAET")->click();

    const QString shots = qEnvironmentVariable("PACS_SCREENSHOT_DIR");
    if (!shots.isEmpty()) {
        QDir().mkpath(shots);
        dialog->adjustSize();
        EXPECT_TRUE(dialog->grab().save(shots + "/options-dialog.png"));
    }
}

TEST(OptionsDialog, PortIsStoredOnEveryKeystrokeAndTheOtherFieldsOnLeavingThem)
{
    ScratchHome scratch;
    QTemporaryDir store;
    Window w(scratch);
    QPointer<OptionsDialog> dialog = w.openOptions();
    ASSERT_TRUE(dialog);

    auto *port = w.control<QLineEdit>("Port");
    port->setFocus();
    port->selectAll();
    QTest::keyClick(port, Qt::Key_Delete);
    EXPECT_EQ(w.stored("SERVER", "PORT"), "");
    QStringList seen;
    for (const char *key : {"1", "1", "1", "2"}) {
        QTest::keyClicks(port, key);
        seen << w.stored("SERVER", "PORT");
    }
    EXPECT_EQ(seen, (QStringList{"1", "11", "111", "1112"})) << "a half-typed port is stored too";
    EXPECT_EQ(w.controller.options().port(), "1112");

    // The storage node is stored when the field is left, not before.
    retype(w.control<QLineEdit>("StorageNode"), "pacs2.example");
    EXPECT_EQ(w.stored("SERVER", "StorageNode"), "<absent>");
    retype(w.control<QLineEdit>("txtJPEGQuality"), "85");
    QTest::keyClick(w.control<QLineEdit>("txtJPEGQuality"), Qt::Key_Return);
    EXPECT_EQ(w.stored("SERVER", "JPEGQuality"), "85");
    EXPECT_EQ(w.stored("SERVER", "StorageNode"), "pacs2.example");
    auto *drive = w.control<QLineEdit>("txtDrive");
    retype(drive, store.path());
    QTest::keyClick(drive, Qt::Key_Return);
    EXPECT_EQ(w.stored("SERVER", "ServerDrive"), store.path() + "/");
    EXPECT_EQ(drive->text(), store.path() + "/");

    // Closed with the focus still in a field: what was typed is kept.
    retype(w.control<QLineEdit>("StorageAE"), "ARCHIVE2");
    w.control<QCheckBox>("chkTraceMode")->click();
    w.control<QPushButton>("cmdOk")->click();
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(w.stored("SERVER", "StorageAE"), "ARCHIVE2");

    // Reopened: the same dialog, the values as last typed.
    ASSERT_EQ(w.openOptions(), dialog.data());
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(port->text(), "1112");
    EXPECT_EQ(w.control<QLineEdit>("StorageAE")->text(), "ARCHIVE2");
    EXPECT_EQ(w.control<QLineEdit>("StorageNode")->text(), "pacs2.example");
    EXPECT_TRUE(w.control<QCheckBox>("chkTraceMode")->isChecked()) << "kept for the run";

    // Esc hides it as well, after storing the field being typed in.
    retype(w.control<QLineEdit>("StoragePort"), "11113");
    QTest::keyClick(w.control<QLineEdit>("StoragePort"), Qt::Key_Escape);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(w.stored("SERVER", "StoragePort"), "11113");
}

TEST(OptionsDialog, SecuritySettingsAreStoredAndTheAddressCheckNeedsTheTitleCheck)
{
    ScratchHome scratch;
    Window w(scratch);
    QPointer<OptionsDialog> dialog = w.openOptions();
    ASSERT_TRUE(dialog);

    auto *known = w.control<QCheckBox>("chkAcceptKnownAETsOnly");
    auto *address = w.control<QCheckBox>("chkCheckCallerAddress");
    EXPECT_FALSE(known->isChecked()) << "off by default";
    EXPECT_FALSE(address->isEnabled());
    EXPECT_TRUE(w.control<QCheckBox>("chkTLSOutgoing")->isChecked());
    known->click();
    EXPECT_EQ(w.stored("SERVER", "chkAcceptKnownAETsOnly"), "1");
    EXPECT_TRUE(address->isEnabled());
    address->click();
    EXPECT_EQ(w.stored("SERVER", "chkCheckCallerAddress"), "1");
    EXPECT_EQ(w.controller.options().checkCallerAddress(), 1);
    w.control<QCheckBox>("chkTLSOutgoing")->click();
    EXPECT_EQ(w.stored("SERVER", "chkTLSOutgoing"), "0");

    retype(w.control<QLineEdit>("TLSCertificate"), " /etc/pacs/archive.crt ");
    retype(w.control<QLineEdit>("TLSPrivateKey"), "/etc/pacs/archive.key");
    w.control<QPushButton>("cmdOk")->click();
    EXPECT_EQ(w.stored("SERVER", "TLSCertificate"), "/etc/pacs/archive.crt");
    EXPECT_EQ(w.stored("SERVER", "TLSPrivateKey"), "/etc/pacs/archive.key");
    EXPECT_EQ(w.stored("SERVER", "TLSTrustedCertificates"), "<absent>");
    EXPECT_EQ(w.controller.options().tlsCertificate(), "/etc/pacs/archive.crt");
}

TEST(OptionsDialog, UncheckingTheNameCheckGreysOutTheSameIdChoiceAndKeepsIt)
{
    ScratchHome scratch;
    Window w(scratch);
    w.controller.settings().write("Main", "chkDisregardDifferentName", "1");
    w.controller.settings().write("Main", "optCreateTempID", "1");
    ASSERT_NE(w.openOptions(), nullptr);
    auto *frame = w.control<QGroupBox>("fraSameID");
    auto *check = w.control<QCheckBox>("chkDisregardDifferentName");
    EXPECT_TRUE(frame->isEnabled());
    EXPECT_TRUE(w.control<QRadioButton>("optCreateTempID")->isChecked());

    check->click();
    EXPECT_FALSE(frame->isEnabled());
    EXPECT_FALSE(w.control<QRadioButton>("optDisregard")->isEnabled());
    EXPECT_TRUE(w.control<QRadioButton>("optCreateTempID")->isChecked());
    EXPECT_EQ(w.stored("Main", "chkDisregardDifferentName"), "0");
    EXPECT_EQ(w.stored("Main", "optCreateTempID"), "1");
    EXPECT_TRUE(w.controller.options().createTempIdSelected());

    check->click();
    EXPECT_TRUE(frame->isEnabled());
    EXPECT_TRUE(w.control<QRadioButton>("optCreateTempID")->isChecked());

    // Choosing "Disregard" sticks across a restart.
    w.control<QRadioButton>("optDisregard")->click();
    EXPECT_EQ(w.stored("Main", "optCreateTempID"), "0");

    // The program-wide copy follows "Save image data to DB before saving image.".
    w.control<QCheckBox>("chkSavetoDBbeforeSaveImage")->click();
    EXPECT_EQ(w.controller.options().saveDbBeforeImage(), 0);
    EXPECT_EQ(w.stored("SERVER", "chkSavetoDBbeforeSaveImage"), "0");
}

// Brackmoor chosen, restart, ORVIK chosen, restart: ORVIK is what the
// operator chose last and what the dialog shows.
TEST(OptionsDialog, BrackmoorThenOrvikAcrossRestartsShowsOrvik)
{
    ScratchHome scratch;
    {
        Window w(scratch);
        ASSERT_NE(w.openOptions(), nullptr);
        w.control<QRadioButton>("optBrackmoor")->click();
    }
    {
        Window w(scratch);
        ASSERT_NE(w.openOptions(), nullptr);
        EXPECT_TRUE(w.control<QRadioButton>("optBrackmoor")->isChecked());
        w.control<QRadioButton>("optORVIK")->click();
        EXPECT_FALSE(w.control<QRadioButton>("optBrackmoor")->isChecked());
    }
    Window w(scratch);
    ASSERT_NE(w.openOptions(), nullptr);
    EXPECT_TRUE(w.control<QRadioButton>("optORVIK")->isChecked());
    EXPECT_FALSE(w.control<QRadioButton>("optBrackmoor")->isChecked());
    EXPECT_EQ(w.controller.options().siteProfile(), ServerOptions::SiteProfile::ORVIK);
}

TEST(OptionsDialog, InstallAsServiceWritesAUnitRunningTheServiceOnThisHomeFolder)
{
    ScratchHome scratch;
    QTemporaryDir units;
    Window w(scratch);
    OptionsDialog *dialog = w.openOptions();
    ASSERT_NE(dialog, nullptr);
    dialog->setUnitFolder(units.path());

    // The report comes in a message box; read it and close it.
    QString report;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        for (QMessageBox *box : dialog->findChildren<QMessageBox *>())
            if (box->isVisible()) {
                report = box->text();
                box->accept();
            }
    });
    closer.start(10);
    w.control<QPushButton>("cmdInstallAsService")->click();
    closer.stop();

    const QString unitPath = units.filePath("talmir-pacs.service");
    EXPECT_TRUE(report.startsWith("Wrote " + unitPath)) << report.toStdString();
    QFile unit(unitPath);
    ASSERT_TRUE(unit.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(unit.readAll());
    EXPECT_TRUE(text.contains(QStringLiteral("\nExecStart=\"%1\" --home \"%2\"\n").arg(TALMIR_PACS_BINARY, scratch.home())))
        << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("\nEnvironment=\"XDG_CONFIG_HOME=%1\"\n").arg(scratch.configDir())))
        << text.toStdString();
}

// The running server reads the dialog's values where it uses them: no
// restart for the storage root, Trace Mode, the AE title or the site
// profile; the listener moves to a new port when the dialog is closed.
TEST(OptionsDialog, ARunningServerFollowsTheDialog)
{
    ScratchHome scratch;
    QTemporaryDir files;
    QTemporaryDir newRoot;
    {
        SettingsStore settings;
        settings.write("SERVER", "PORT", "0");
    }
    Window w(scratch, true);
    toolkit::ToolkitListener &listener = w.controller.server().listener();
    ASSERT_TRUE(listener.isListening()) << w.controller.log().logText().toStdString();
    const int firstPort = listener.listeningPort();
    ASSERT_NE(w.openOptions(), nullptr);

    auto send = [&](const QString &name, const SampleSpec &spec) {
        const QString path = files.filePath(name);
        EXPECT_FALSE(writeSample(path, spec).isEmpty());
        const ToolResult sent = runTool("storescu", {"-aec", "TALMIR", "127.0.0.1", QString::number(listener.listeningPort()), path});
        EXPECT_EQ(sent.exitCode, 0) << sent.output.toStdString();
    };
    auto storedFile = [&](const QString &uid) {
        db::ResultSet rows = w.controller.connection().ExecuteSQL("SELECT Filename FROM ImageTable WHERE InstanceUID='" + uid + "'");
        return rows.atEnd() ? QString() : rows.text(0);
    };

    SampleSpec first;
    first.patientId = "P1";
    first.instanceUid = "1.2.826.0.1.3680043.9.7002.1.1.1";
    send("first.dcm", first);
    ASSERT_TRUE(waitUntil([&] { return QFile::exists(storedFile(first.instanceUid)); }));
    EXPECT_TRUE(storedFile(first.instanceUid).startsWith(scratch.home() + "/IMAGES/")) << storedFile(first.instanceUid).toStdString();
    EXPECT_FALSE(w.controller.log().logText().contains("InsertStudy: "));

    // Another image store and Trace Mode, then a new study.
    auto *drive = w.control<QLineEdit>("txtDrive");
    retype(drive, newRoot.path());
    QTest::keyClick(drive, Qt::Key_Return);
    w.control<QCheckBox>("chkTraceMode")->click();
    SampleSpec second;
    second.patientId = "P2";
    second.instanceUid = "1.2.826.0.1.3680043.9.7002.2.1.1";
    send("second.dcm", second);
    ASSERT_TRUE(waitUntil([&] { return QFile::exists(storedFile(second.instanceUid)); }));
    EXPECT_TRUE(storedFile(second.instanceUid).startsWith(newRoot.path() + "/IMAGES/")) << storedFile(second.instanceUid).toStdString();
    EXPECT_TRUE(w.controller.log().logText().contains("InsertStudy: INSERT into STUDYTABLE")) << w.controller.log().logText().toStdString();

    // The AE title in the answers to a query.
    retype(w.control<QLineEdit>("AEName"), "ARCHIVE2");
    const QString answers = files.filePath("answers");
    QDir().mkpath(answers);
    const ToolResult found = runTool("findscu", {"-S", "-aec", "ARCHIVE2", "-X", "-od", answers, "-k", "QueryRetrieveLevel=STUDY",
                                                 "-k", "PatientID=P2", "-k", "RetrieveAETitle", "127.0.0.1",
                                                 QString::number(listener.listeningPort())});
    EXPECT_EQ(found.exitCode, 0) << found.output.toStdString();
    const QStringList responses = QDir(answers).entryList(QDir::Files);
    ASSERT_EQ(responses.size(), 1) << found.output.toStdString();
    EXPECT_EQ(fileElement(answers + "/" + responses[0], 0x0008, 0x0054), "ARCHIVE2");

    // Another site profile connects to its HIS at once; "None" drops it.
    w.control<QRadioButton>("optBrackmoor")->click();
    EXPECT_TRUE(w.controller.server().his().isConnected()) << w.controller.log().logText().toStdString();
    // A profile without its connection file says so and keeps no connection
    // of the one before.
    ASSERT_TRUE(QFile::remove(scratch.path("TESSMARK.txt")));
    w.control<QRadioButton>("optTessmark")->click();
    EXPECT_FALSE(w.controller.server().his().isConnected());
    EXPECT_EQ(w.prompter.messages.size(), 1);
    w.control<QRadioButton>("optBrackmoor")->click();
    EXPECT_TRUE(w.controller.server().his().isConnected());
    w.control<QRadioButton>("optNone")->click();
    EXPECT_FALSE(w.controller.server().his().isConnected());

    // A port another holds: the server stays on the one it has.
    HeldPort taken;
    ASSERT_TRUE(taken.isHeld());
    retype(w.control<QLineEdit>("Port"), QString::number(taken.port()));
    w.control<QPushButton>("cmdOk")->click();
    EXPECT_TRUE(listener.isListening());
    EXPECT_EQ(listener.listeningPort(), firstPort);
    EXPECT_TRUE(w.controller.log().logText().contains("Failed to Listen on Port " + QString::number(taken.port())));
    EXPECT_TRUE(w.controller.log().logText().contains("Still listening on Port " + QString::number(firstPort)));
    ASSERT_NE(w.openOptions(), nullptr);

    // A new port: not taken keystroke by keystroke, but on closing.
    HeldPort next;
    ASSERT_TRUE(next.isHeld());
    retype(w.control<QLineEdit>("Port"), QString::number(next.port()));
    EXPECT_EQ(listener.listeningPort(), firstPort);
    next.release();
    w.control<QPushButton>("cmdOk")->click();
    ASSERT_TRUE(listener.isListening()) << w.controller.log().logText().toStdString();
    EXPECT_EQ(listener.listeningPort(), next.port());
    const ToolResult echo = runTool("echoscu", {"-aec", "ARCHIVE2", "127.0.0.1", QString::number(next.port())});
    EXPECT_EQ(echo.exitCode, 0) << echo.output.toStdString();
}

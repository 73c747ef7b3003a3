// "Check Mismatched names" over a folder tree against a real archive file,
// sending images of unknown patients to a real storage node.
#include "tests/support/Peers.h"
#include "tests/tools/ToolsFixture.h"
#include "tools/NameConsistencyCheck.h"

#include <gtest/gtest.h>

using namespace pacs;
using namespace pacs::test;
using pacs::tools::NameConsistencyCheck;

namespace {

QStringList reportLines(const QString &report)
{
    EXPECT_TRUE(report.startsWith("\r\n")) << report.toStdString();
    return report.mid(2).split("\r\n");
}

class NameCheck : public ToolsFixture
{
protected:
    NameConsistencyCheck check{connection, log, options};
};

} // namespace

TEST_F(NameCheck, ListsMatchesMismatchesAndUnknownPatientsFileByFile)
{
    addPatient("P1", "DOE");
    addPatient("P2", "VAN,DYKE");
    addPatient("P3", "Smith");
    addPatient("O'7", "ONEIL");
    image("IMAGES/2024/CT/doe.dcm", "P1", "DOE^JOHN");
    junk("IMAGES/2024/CT/notes.txt");
    image("System Volume Information/hidden.dcm", "P9", "HIDDEN^ONE");
    image("b/vandyke.DCM", "P2", "VANDYKE^ANN");
    image("b/old.dcm.bak", "P1", "BAK^FILE");
    image("a.dcm", "P3", "SMITH^JO");
    const QString broken = junk("c.dcm");
    image("d.dcm", "P4", "NOBODY^KNOWN");
    image("e.Dcm", "O'7", "O,NEIL^KIM");

    ASSERT_TRUE(check.ReadNames(files.path()));
    const QStringList lines = reportLines(check.report());
    ASSERT_EQ(lines.size(), 7) << check.report().toStdString();
    // Subfolders first (by name), then the folder's own files.
    EXPECT_EQ(lines[0], "match DB:VANDYKE for P2 ");
    EXPECT_EQ(lines[1], "match DB:DOE for P1 ");
    EXPECT_EQ(lines[2], "Mismatch DB: Smith image:SMITH for P3 ");
    EXPECT_TRUE(lines[3].contains(broken)) << lines[3].toStdString();
    EXPECT_EQ(lines[4], "Patient not Found. P4 NOBODY^KNOWN");
    EXPECT_EQ(lines[5], "match DB:ONEIL for O'7 ");
    EXPECT_EQ(lines[6], "DONE.");
    EXPECT_EQ(check.filesChecked(), 6);
    EXPECT_EQ(check.imagesSent(), 0);

    // A second run appends to the same report.
    ASSERT_TRUE(check.ReadNames(files.path() + "/b"));
    EXPECT_TRUE(check.report().endsWith("\r\nDONE.\r\nmatch DB:VANDYKE for P2 \r\nDONE.")) << check.report().toStdString();
}

TEST_F(NameCheck, AMissingFolderOrAFileThatIsNoImageIsALineAndTheWalkGoesOn)
{
    EXPECT_FALSE(check.ReadNames(files.path() + "/gone"));
    EXPECT_EQ(check.report(), "\r\nPath not found: " + files.path() + "/gone\r\nDONE.");

    addPatient("P1", "DOE");
    image("1.dcm", "P1", "DOE^JOHN");
    junk("2.dcm", "");
    junk("3.dcm", QByteArray(600, '\x01'));
    image("4.dcm", "P1", "ROE^JANE");
    QStringList appended;
    QObject::connect(&check, &NameConsistencyCheck::reportAppended, [&](const QString &text) { appended << text; });
    ASSERT_TRUE(check.ReadNames(files.path()));
    ASSERT_EQ(appended.size(), 5) << check.report().toStdString();
    EXPECT_EQ(appended[0], "\r\nmatch DB:DOE for P1 ");
    // Nothing of the file before is reported for a file that cannot be read.
    EXPECT_TRUE(appended[1].contains("2.dcm")) << appended[1].toStdString();
    EXPECT_TRUE(appended[2].contains("3.dcm")) << appended[2].toStdString();
    EXPECT_EQ(appended[3], "\r\nMismatch DB: DOE image:ROE for P1 ");
    EXPECT_EQ(appended[4], "\r\nDONE.");
}

TEST_F(NameCheck, StopReadsNoFurtherFileButTheWalkStillSaysDone)
{
    addPatient("P1", "DOE");
    for (const char *name : {"x/1.dcm", "x/2.dcm", "y/3.dcm", "4.dcm"})
        image(name, "P1", "DOE^JOHN");
    const QMetaObject::Connection stopper =
        QObject::connect(&check, &NameConsistencyCheck::reportAppended, [&](const QString &) { check.stop(); });
    ASSERT_TRUE(check.ReadNames(files.path()));
    EXPECT_EQ(check.report(), "\r\nmatch DB:DOE for P1 \r\nDONE.");
    EXPECT_EQ(check.filesChecked(), 1);
    EXPECT_TRUE(check.stopRequested());

    // The next run starts with the flag cleared.
    QObject::disconnect(stopper);
    ASSERT_TRUE(check.ReadNames(files.path()));
    EXPECT_EQ(check.filesChecked(), 4);
}

TEST_F(NameCheck, TransmitNotFoundSendsUnknownPatientsImagesAsTalmir)
{
    QTemporaryDir received;
    StoreScpProcess node(received.path(), "NODE");
    ASSERT_TRUE(node.isReady());
    pointStorageNodeAt(node.port(), "NODE");
    options.setAeName("OWNTITLE"); // the sends do not use the server's own title
    addPatient("P1", "DOE");
    image("1.dcm", "P1", "DOE^JOHN");
    image("2.dcm", "P7", "NEW^ONE");
    image("3.dcm", "P8", "NEW^TWO");

    check.setTransmitNotFound(true);
    ASSERT_TRUE(check.ReadNames(files.path()));
    EXPECT_EQ(check.report(), "\r\nmatch DB:DOE for P1 \r\nPatient not Found. P7 NEW^ONE\r\nPatient not Found. P8 NEW^TWO"
                              "\r\nDONE.");
    EXPECT_EQ(check.imagesSent(), 2);
    ASSERT_TRUE(waitUntil([&] { return node.receivedFiles().size() == 2; }, 20000)) << node.output().toStdString();
    for (const QString &file : node.receivedFiles()) {
        EXPECT_EQ(sourceAeTitle(file), "TALMIR") << file.toStdString();
        EXPECT_TRUE(fileElement(file, 0x0010, 0x0020).startsWith("P")) << file.toStdString();
    }
    QStringList ids{fileElement(node.receivedFiles()[0], 0x0010, 0x0020), fileElement(node.receivedFiles()[1], 0x0010, 0x0020)};
    ids.sort();
    EXPECT_EQ(ids, (QStringList{"P7", "P8"}));
}

TEST_F(NameCheck, AFailedSendIsALineAndTheNextFileIsChecked)
{
    HeldPort down;
    ASSERT_TRUE(down.isHeld());
    pointStorageNodeAt(down.port(), "NODE");
    image("1.dcm", "P7", "NEW^ONE");
    image("2.dcm", "P8", "NEW^TWO");
    check.setTransmitNotFound(true);
    ASSERT_TRUE(check.ReadNames(files.path()));
    QStringList lines = reportLines(check.report());
    ASSERT_EQ(lines.size(), 5) << check.report().toStdString();
    EXPECT_EQ(lines[0], "Patient not Found. P7 NEW^ONE");
    EXPECT_FALSE(lines[1].isEmpty());
    EXPECT_EQ(lines[2], "Patient not Found. P8 NEW^TWO");
    EXPECT_EQ(lines[4], "DONE.");
    EXPECT_EQ(check.imagesSent(), 0);

    // A port setting that is no number is a line too.
    options.setStoragePort("abc");
    ASSERT_TRUE(check.ReadNames(files.path()));
    lines = reportLines(check.report());
    EXPECT_TRUE(lines[6].startsWith("Type mismatch")) << check.report().toStdString();
}

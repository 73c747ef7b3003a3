#include "tests/toolkit/ToolkitTestSupport.h"

#include "dicom/toolkit/ToolkitSequence.h"
#include "dicom/toolkit/ToolkitUtility.h"
#include "tests/support/TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QRegularExpression>

#include <gtest/gtest.h>

using namespace pacs::toolkit;
using namespace pacs::toolkit::test;
using pacs::test::waitUntil;

namespace {

QStringList queryArgs(const ListenerFixture &f, const QString &root, const QStringList &keys)
{
    QStringList args{QStringLiteral("-v"), root, QStringLiteral("-aec"), QStringLiteral("ARCHIVE")};
    for (const QString &key : keys)
        args << QStringLiteral("-k") << key;
    return args << QStringLiteral("127.0.0.1") << f.portText();
}

// Three stored images of one study, the file list a retrieve hands over.
struct Study
{
    explicit Study(const ListenerFixture &f)
    {
        uid = ToolkitUtility::newUid();
        for (int i = 1; i <= 3; ++i) {
            SampleSpec spec;
            spec.studyUid = uid;
            spec.instanceNumber = i;
            const QString path = f.path(QStringLiteral("archive%1.dcm").arg(i));
            instances << writeSample(path, spec);
            files << path;
        }
    }
    QString uid;
    QStringList files, instances;
};

// The program's retrieve flow: destination, files, final status when all went.
void retrieveLikeTheProgram(Recorder &events, const QStringList &files, int destinationPort)
{
    events.onQuery = [=](ToolkitConnection &c) {
        if (c.commandName() == QLatin1String("C-GET")) {
            c.sendFilesAsync(files);
        } else if (c.commandName() == QLatin1String("C-MOVE")) {
            c.connectTo(QStringLiteral("127.0.0.1"), destinationPort, QStringLiteral("ARCHIVE"), c.moveDestination());
            c.setStatus(0xFF00);
        }
    };
    events.onComplete = [=](ToolkitConnection &c, const QString &action, bool success, const QString &) {
        if (!success) {
            c.closeAssociation();
            return;
        }
        if (action == QLatin1String("SetDestination"))
            c.sendFilesAsync(QStringList{QString()} + files + QStringList{QString(), QString()}); // empty slots name no file
        else if (action == QLatin1String("SendImages") && c.actionResultCode() == 0)
            c.setStatus(0);
    };
}

} // namespace

TEST(ToolkitFind, RequestReachesTheHandlerAndResponsesReachThePeer)
{
    ListenerFixture f;
    QString patientKey;
    QVariant rangeStart, rangeEnd;
    f.events.onQuery = [&](ToolkitConnection &c) {
        const ToolkitDataset request = c.requestIdentifier();
        patientKey = request.findAttribute(0x0010, 0x0020).attributeText();
        rangeStart = request.findAttribute(0x0008, 0x0020).attributeRangeStart();
        rangeEnd = request.findAttribute(0x0008, 0x0020).attributeRangeEnd();
        ToolkitSequence results = ToolkitUtility::newSequence();
        for (const QString &id : {QStringLiteral("P001"), QStringLiteral("P002")}) {
            ToolkitDataset row = ToolkitUtility::newDataset();
            row.putAttribute(0x0010, 0x0020, id);
            row.putAttribute(0x0008, 0x0020, QDate(2024, 3, 9));
            row.putAttribute(0x0020, 0x000D, QStringLiteral("1.2.3.") + id.right(1));
            results.sequenceAdd(row);
            QCoreApplication::processEvents(); // the program yields between rows
        }
        c.sendResponses(results, 0xFF00);
        c.setStatus(0);
    };
    const QString out = f.path(QStringLiteral("responses"));
    QDir().mkpath(out);
    const ToolResult r = runTool(QStringLiteral("findscu"),
        queryArgs(f, QStringLiteral("-S"), {QStringLiteral("QueryRetrieveLevel=STUDY"), QStringLiteral("PatientID=P*"),
                                            QStringLiteral("StudyDate=20240101-"), QStringLiteral("StudyInstanceUID")})
            << QStringLiteral("-X") << QStringLiteral("-od") << out);
    EXPECT_EQ(r.exitCode, 0) << r.output.toStdString();
    EXPECT_EQ(f.events.commands, QStringList{QStringLiteral("C-FIND")});
    EXPECT_EQ(f.events.roots, QStringList{QStringLiteral("STUDY")});
    EXPECT_EQ(f.events.levels, QStringList{QStringLiteral("STUDY")});
    EXPECT_EQ(patientKey, QStringLiteral("P*"));
    EXPECT_EQ(rangeStart.toDate(), QDate(2024, 1, 1));
    EXPECT_TRUE(rangeEnd.isNull());

    const QStringList files = QDir(out).entryList(QDir::Files, QDir::Name);
    ASSERT_EQ(files.size(), 2) << r.output.toStdString();
    ToolkitImage second;
    ASSERT_TRUE(second.readFile(out + QLatin1Char('/') + files.at(1)));
    EXPECT_EQ(second.patientId(), QStringLiteral("P002"));
    EXPECT_EQ(second.attributeSet().findAttribute(0x0008, 0x0020).attributeText(), QStringLiteral("3/9/2024"));
    EXPECT_EQ(second.attributeSet().findAttribute(0x0008, 0x0052).attributeText(), QStringLiteral("STUDY"));
}

TEST(ToolkitFind, PatientRootAndAnUnansweredQuery)
{
    ListenerFixture f; // no handler: nothing is sent, the final status is a failure
    const ToolResult r = runTool(QStringLiteral("findscu"),
        queryArgs(f, QStringLiteral("-P"), {QStringLiteral("QueryRetrieveLevel=PATIENT"), QStringLiteral("PatientID")}));
    EXPECT_EQ(f.events.roots, QStringList{QStringLiteral("PATIENT")});
    EXPECT_FALSE(r.output.contains(QStringLiteral("(Success)"))) << r.output.toStdString();
    EXPECT_TRUE(r.output.contains(QStringLiteral("Find Response"))) << r.output.toStdString();
}

TEST(ToolkitMove, SendsTheFilesToTheDestinationAndEndsWithSuccess)
{
    ListenerFixture f;
    const Study study(f);
    StoreScpProcess destination(f.path(QStringLiteral("dest")));
    ASSERT_TRUE(destination.isReady());
    retrieveLikeTheProgram(f.events, study.files, destination.port());

    const ToolResult r = runTool(QStringLiteral("movescu"),
        queryArgs(f, QStringLiteral("-S"), {QStringLiteral("QueryRetrieveLevel=STUDY"), QStringLiteral("StudyInstanceUID=") + study.uid})
            << QStringLiteral("-aem") << QStringLiteral("DEST") << QStringLiteral("-d"));
    EXPECT_EQ(r.exitCode, 0) << r.output.toStdString();
    EXPECT_EQ(f.events.moveDestinations, QStringList{QStringLiteral("DEST")});
    EXPECT_TRUE(r.output.contains(QStringLiteral("Final Move Response")) && r.output.contains(QStringLiteral("0x0000: Success")))
        << r.output.toStdString();
    // One pending answer per file, in order, each with the counts after that file.
    QStringList pending;
    static const QRegularExpression counts(QStringLiteral(
        "Remaining Suboperations\\s*:\\s*(\\d+)\\s*\\n.*Completed Suboperations\\s*:\\s*(\\d+)\\s*\\n"
        "(?:.*\\n){3}.*0xff00"));
    for (auto match = counts.globalMatch(r.output); match.hasNext();) {
        const QRegularExpressionMatch m = match.next();
        pending << m.captured(1) + QLatin1Char('/') + m.captured(2);
    }
    EXPECT_EQ(pending, (QStringList{QStringLiteral("2/1"), QStringLiteral("1/2"), QStringLiteral("0/3")}))
        << r.output.toStdString();
    EXPECT_EQ(destination.receivedFiles().size(), 3);
    EXPECT_GE(f.events.updates, 3);
}

TEST(ToolkitMove, FailedSubOperationsNeverEndInSuccess)
{
    ListenerFixture f;
    const Study study(f);
    StoreScpProcess destination(f.path(QStringLiteral("dest")));
    ASSERT_TRUE(destination.isReady());
    retrieveLikeTheProgram(f.events, study.files + QStringList{f.path(QStringLiteral("missing.dcm"))}, destination.port());
    int failed = -1, completed = -1, resultCode = -1;
    auto program = f.events.onComplete;
    f.events.onComplete = [&](ToolkitConnection &c, const QString &action, bool success, const QString &error) {
        if (action == QLatin1String("SendImages")) {
            failed = c.failedCount();
            completed = c.completedCount();
            resultCode = c.actionResultCode();
        }
        program(c, action, success, error);
    };
    const ToolResult r = runTool(QStringLiteral("movescu"),
        queryArgs(f, QStringLiteral("-S"), {QStringLiteral("QueryRetrieveLevel=STUDY"), QStringLiteral("StudyInstanceUID=") + study.uid})
            << QStringLiteral("-aem") << QStringLiteral("DEST"));
    EXPECT_EQ(failed, 1);
    EXPECT_EQ(completed, 3);
    EXPECT_NE(resultCode, 0);
    EXPECT_FALSE(r.output.contains(QStringLiteral("Move Response (Success)"))) << r.output.toStdString();
    EXPECT_TRUE(r.output.contains(QStringLiteral("Warning"))) << r.output.toStdString();
}

TEST(ToolkitMove, UnknownDestinationIsRefusedWithTheErrorComment)
{
    ListenerFixture f;
    f.events.onQuery = [](ToolkitConnection &c) {
        c.statusDataset().putAttribute(0x0000, 0x0902, QStringLiteral("Unknown Move Destination: ") + c.moveDestination());
        c.setStatus(0xA801);
    };
    const ToolResult r = runTool(QStringLiteral("movescu"),
        queryArgs(f, QStringLiteral("-S"), {QStringLiteral("QueryRetrieveLevel=STUDY"), QStringLiteral("StudyInstanceUID=1.2.3")})
            << QStringLiteral("-aem") << QStringLiteral("NOWHERE") << QStringLiteral("-d"));
    EXPECT_TRUE(r.output.contains(QStringLiteral("Unknown Move Destination: NOWHERE"))) << r.output.toStdString();
    EXPECT_TRUE(r.output.contains(QStringLiteral("Refused"), Qt::CaseInsensitive)) << r.output.toStdString();
}

TEST(ToolkitMove, UnreachableDestinationReportsAFailedSetDestination)
{
    ListenerFixture f;
    const Study study(f);
    const HeldPort down; // the destination refuses the connection
    retrieveLikeTheProgram(f.events, study.files, down.port());
    const ToolResult r = runTool(QStringLiteral("movescu"),
        queryArgs(f, QStringLiteral("-S"), {QStringLiteral("QueryRetrieveLevel=STUDY"), QStringLiteral("StudyInstanceUID=") + study.uid})
            << QStringLiteral("-aem") << QStringLiteral("DEST"));
    ASSERT_FALSE(f.events.completions.isEmpty());
    EXPECT_EQ(f.events.completions.first().action, QStringLiteral("SetDestination"));
    EXPECT_FALSE(f.events.completions.first().success);
    EXPECT_TRUE(f.events.completions.first().error.contains(QStringLiteral("DEST"))) << f.events.completions.first().error.toStdString();
    EXPECT_FALSE(r.output.contains(QStringLiteral("Move Response (Success)")));
}

TEST(ToolkitGet, SendsTheFilesBackOverTheRequestingAssociation)
{
    ListenerFixture f;
    const Study study(f);
    retrieveLikeTheProgram(f.events, study.files, 0);
    const QString out = f.path(QStringLiteral("got"));
    QDir().mkpath(out);
    const ToolResult r = runTool(QStringLiteral("getscu"),
        queryArgs(f, QStringLiteral("-S"), {QStringLiteral("QueryRetrieveLevel=STUDY"), QStringLiteral("StudyInstanceUID=") + study.uid})
            << QStringLiteral("-od") << out);
    EXPECT_EQ(r.exitCode, 0) << r.output.toStdString();
    EXPECT_EQ(f.events.commands, QStringList{QStringLiteral("C-GET")});
    const QStringList received = QDir(out).entryList(QDir::Files);
    EXPECT_EQ(received.size(), 3) << r.output.toStdString();
    EXPECT_TRUE(r.output.contains(QStringLiteral("Success"))) << r.output.toStdString();
}

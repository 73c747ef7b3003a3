// The archive on a PostgreSQL server, through the real program: the same
// answers as the embedded archive, two nodes on one database, a server
// restart in the middle of a send, and the move of an embedded archive.
// They run where PACS_TEST_SERVER names a server (scripts/test.sh starts one).
#include "dicom/ImagePath.h"
#include "tests/dicom/ReceptionFixture.h"
#include "tests/support/Peers.h"
#include "tests/support/SampleImages.h"
#include "tests/support/ServerDatabase.h"
#include "tests/support/ServerProcess.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <gtest/gtest.h>

using namespace pacs;
using namespace pacs::test;

namespace {

#define NEEDS_SERVER()                                                                                                 \
    if (!ServerDatabase::enabled())                                                                                    \
    GTEST_SKIP() << "no database server (PACS_TEST_SERVER)"

// Images of `patients` patients, one study and series each, instance numbers
// first..last, written patient by patient for each number so that all the
// patients' first images come first. Returns file -> SOP Instance UID.
QMap<QString, QString> writeImages(const QString &folder, int patients, int first, int last)
{
    QDir().mkpath(folder);
    QMap<QString, QString> files;
    for (int i = first; i <= last; ++i)
        for (int p = 0; p < patients; ++p) {
            SampleSpec spec;
            spec.patientId = QStringLiteral("SRV%1").arg(p);
            spec.patientName = QStringLiteral("NODE^PATIENT%1").arg(p);
            spec.studyUid = QStringLiteral("1.2.826.0.1.3680043.10.77.%1").arg(p);
            spec.seriesUid = spec.studyUid + QStringLiteral(".1");
            spec.instanceUid = spec.seriesUid + QStringLiteral(".%1").arg(i);
            spec.instanceNumber = i;
            spec.elements["0008,0020"] = QStringLiteral("202401%1").arg(10 + p);
            const QString path = QStringLiteral("%1/p%2_%3.dcm").arg(folder).arg(p).arg(i, 4, 10, QLatin1Char('0'));
            const QString uid = writeSample(path, spec);
            if (!uid.isEmpty())
                files.insert(path, uid);
        }
    return files;
}

qint64 count(db::DbBackend &archive, const QString &sql)
{
    QString error;
    auto rows = archive.execute(sql, error);
    return rows && !rows->atEnd() ? rows->value(0).toInteger() : -1;
}

// Every image row: its UID, and whether its file is there and readable.
struct ImageRows
{
    QStringList uids;
    QStringList unreadable;
};

ImageRows imageRows(db::DbBackend &archive)
{
    ImageRows result;
    QString error;
    for (auto rows = archive.execute("select InstanceUID, Filename from ImageTable", error); rows && !rows->atEnd(); rows->moveNext()) {
        result.uids << rows->value(0).toText();
        if (!isReadableDicomFile(rows->value(1).toText()))
            result.unreadable << rows->value(1).toText();
    }
    return result;
}

// The answers of a set of queries, each as the sorted list of its response
// datasets (dumped by findscu), so that two archives can be compared.
QStringList answers(int port)
{
    const QList<QStringList> queries{
        {"-P", "-k", "QueryRetrieveLevel=PATIENT", "-k", "PatientName=node^patient*", "-k", "PatientID", "-k", "PatientBirthDate",
         "-k", "NumberOfPatientRelatedStudies", "-k", "NumberOfPatientRelatedInstances"},
        {"-S", "-k", "QueryRetrieveLevel=STUDY", "-k", "StudyDate=20240111-20240114", "-k", "StudyInstanceUID", "-k", "PatientID",
         "-k", "ModalitiesInStudy", "-k", "NumberOfStudyRelatedInstances", "-k", "PatientName"},
        {"-S", "-k", "QueryRetrieveLevel=STUDY", "-k", "PatientID=SRV1", "-k", "StudyInstanceUID", "-k", "StudyTime"},
        {"-S", "-k", "QueryRetrieveLevel=SERIES", "-k", "StudyInstanceUID=1.2.826.0.1.3680043.10.77.2", "-k", "SeriesInstanceUID",
         "-k", "Modality", "-k", "NumberOfSeriesRelatedInstances"},
        {"-S", "-k", "QueryRetrieveLevel=IMAGE", "-k", "StudyInstanceUID=1.2.826.0.1.3680043.10.77.3", "-k",
         "SeriesInstanceUID=1.2.826.0.1.3680043.10.77.3.1", "-k", "SOPInstanceUID", "-k", "InstanceNumber"},
        {"-S", "-k", "QueryRetrieveLevel=STUDY", "-k", "PatientName=*PATIENT4", "-k", "StudyInstanceUID"},
    };
    QStringList all;
    static const QRegularExpression element(QStringLiteral(R"(^I: (\([0-9a-f]{4},[0-9a-f]{4}\) .*)$)"),
                                            QRegularExpression::MultilineOption);
    for (const QStringList &query : queries) {
        const ToolResult r = runTool("findscu", QStringList{"-v", "-aec", "TALMIR"} + query + QStringList{"127.0.0.1", QString::number(port)});
        QStringList responses;
        QString current;
        for (const QString &line : r.output.split('\n')) {
            if (line.contains("Find Response:")) {
                if (!current.isEmpty())
                    responses << current;
                current = line.contains("(Pending)") ? QStringLiteral("|") : QString();
                continue;
            }
            const QRegularExpressionMatch m = element.match(line.trimmed());
            if (!current.isEmpty() && m.hasMatch() && !line.contains("(0008,0005)"))
                current += m.captured(1).simplified() + QLatin1Char('|');
        }
        if (!current.isEmpty())
            responses << current;
        responses.sort();
        all << QStringLiteral("%1 -> %2 answers: %3").arg(query.join(' ')).arg(responses.size()).arg(responses.join(" // "));
    }
    return all;
}

void addDestination(const QString &home, const QString &aet, int port)
{
    QString error;
    auto archive = openHomeArchive(home, error);
    ASSERT_TRUE(archive) << error.toStdString();
    ASSERT_TRUE(archive->execute(QStringLiteral("insert into RemoteAETs (RemoteAET, IPAddress, Port) values ('%1', '127.0.0.1', %2)")
                                     .arg(aet)
                                     .arg(port),
                                 error))
        << error.toStdString();
}

// SOP Instance UIDs a C-MOVE of one study to a fresh storescp delivers.
QSet<QString> moved(const QString &home, int port, const QString &folder)
{
    StoreScpProcess destination(folder, QStringLiteral("DEST"));
    if (!destination.isReady())
        return {};
    addDestination(home, "DEST", destination.port());
    runTool("movescu", {"-S", "-aec", "TALMIR", "-aem", "DEST", "-k", "QueryRetrieveLevel=STUDY", "-k",
                        "StudyInstanceUID=1.2.826.0.1.3680043.10.77.1", "127.0.0.1", QString::number(port)});
    const QStringList order = destination.receivedOrder();
    return QSet<QString>(order.begin(), order.end());
}

} // namespace

TEST(ServerDatabase, AnswersAsTheEmbeddedArchiveDoes)
{
    NEEDS_SERVER();
    ScratchHome embedded(ScratchHome::Archive::Embedded);
    ScratchHome server;
    const QMap<QString, QString> files = writeImages(embedded.path("in"), 5, 1, 6);
    ServerProcess one(embedded), two(server);
    ASSERT_TRUE(one.start() && two.start());
    ASSERT_GT(one.port(), 0);
    ASSERT_GT(two.port(), 0);
    EXPECT_EQ(storeFiles(one.port(), {"+sd", embedded.path("in")}).success, 30);
    EXPECT_EQ(storeFiles(two.port(), {"+sd", embedded.path("in")}).success, 30);
    ASSERT_TRUE(two.output().contains("Connected to DB. Server=127.0.0.1")) << two.output().toStdString();

    const QStringList a = answers(one.port());
    const QStringList b = answers(two.port());
    ASSERT_EQ(a.size(), b.size());
    for (qsizetype i = 0; i < a.size(); ++i)
        EXPECT_EQ(a[i], b[i]);
    EXPECT_TRUE(a[0].contains("-> 5 answers")) << a[0].toStdString();
    EXPECT_TRUE(a[1].contains("-> 4 answers")) << a[1].toStdString(); // 11th to 14th of January
    EXPECT_TRUE(a[1].contains("(0020,1208) IS [6 ]")) << a[1].toStdString();
    EXPECT_TRUE(a[4].contains("-> 6 answers")) << a[4].toStdString();

    const QSet<QString> fromEmbedded = moved(embedded.home(), one.port(), embedded.path("dest1"));
    EXPECT_EQ(fromEmbedded.size(), 6);
    EXPECT_EQ(moved(server.home(), two.port(), embedded.path("dest2")), fromEmbedded);
}

TEST(ServerDatabase, TwoNodesOnOneDatabaseKeepOneRowEachAndAnswerForTheWholeArchive)
{
    NEEDS_SERVER();
    ScratchHome first;
    ScratchHome second;
    // The second node works on the first one's database and storage root.
    QString connection, error;
    ASSERT_TRUE(HomeFolder(first.home()).readFirstLine("DBServer.txt", connection, error));
    second.writeFile("DBServer.txt", connection.toUtf8() + "\n");
    const QString storage = first.path("storage/");
    QDir().mkpath(storage);

    const QMap<QString, QString> a = writeImages(first.path("a"), 10, 1, 20);
    const QMap<QString, QString> b = writeImages(first.path("b"), 10, 21, 40);
    ASSERT_EQ(a.size() + b.size(), 400);
    ServerProcess one(first), two(second);
    one.setSetting("SERVER", "ServerDrive", storage);
    two.setSetting("SERVER", "ServerDrive", storage);
    ASSERT_TRUE(one.start() && two.start());
    ASSERT_GT(one.port(), 0);
    ASSERT_GT(two.port(), 0);

    ToolProcess sendA("storescu", {"-v", "-aec", "TALMIR", "+sd", "127.0.0.1", QString::number(one.port()), first.path("a")});
    ToolProcess sendB("storescu", {"-v", "-aec", "TALMIR", "+sd", "127.0.0.1", QString::number(two.port()), first.path("b")});
    ASSERT_TRUE(waitUntil([&] { return sendA.finished() && sendB.finished(); }, 240000));
    EXPECT_EQ(sendA.result().output.count("Received Store Response (Success)"), 200) << sendA.result().output.right(3000).toStdString();
    EXPECT_EQ(sendB.result().output.count("Received Store Response (Success)"), 200) << sendB.result().output.right(3000).toStdString();

    auto archive = openHomeArchive(first.home(), error);
    ASSERT_TRUE(archive) << error.toStdString();
    const ImageRows rows = imageRows(*archive);
    EXPECT_EQ(rows.uids.size(), 400);
    EXPECT_EQ(QSet<QString>(rows.uids.begin(), rows.uids.end()).size(), 400);
    EXPECT_TRUE(rows.unreadable.isEmpty()) << rows.unreadable.join('\n').toStdString();
    EXPECT_EQ(count(*archive, "select count(*) from PatientTable where PatientID like 'SRV%'"), 10);
    EXPECT_EQ(count(*archive, "select count(*) from StudyTable"), 10);
    EXPECT_EQ(count(*archive, "select count(*) from SeriesTable"), 10);

    // Either node answers for what both received, and moves it.
    for (int port : {one.port(), two.port()}) {
        const ToolResult found = runTool("findscu", {"-v", "-S", "-aec", "TALMIR", "-k", "QueryRetrieveLevel=IMAGE", "-k",
                                                     "StudyInstanceUID=1.2.826.0.1.3680043.10.77.1", "-k",
                                                     "SeriesInstanceUID=1.2.826.0.1.3680043.10.77.1.1", "-k", "SOPInstanceUID",
                                                     "127.0.0.1", QString::number(port)});
        EXPECT_EQ(found.output.count("(Pending)"), 40) << found.output.right(2000).toStdString();
    }
    EXPECT_EQ(moved(second.home(), two.port(), first.path("dest")).size(), 40);
}

TEST(ServerDatabase, AServerRestartDuringASendLosesNoAcknowledgedImage)
{
    NEEDS_SERVER();
    const QString cluster = qEnvironmentVariable("PACS_TEST_PG_CLUSTER");
    if (cluster.isEmpty())
        GTEST_SKIP() << "the server is not one this run may restart (PACS_TEST_PG_CLUSTER)";
    ScratchHome scratch;
    const QMap<QString, QString> files = writeImages(scratch.path("in"), 3, 1, 100);
    ASSERT_EQ(files.size(), 300);
    ServerProcess server(scratch);
    ASSERT_TRUE(server.start());
    ASSERT_GT(server.port(), 0);

    ToolProcess send("storescu", {"-v", "--no-halt", "-aec", "TALMIR", "+sd", "127.0.0.1", QString::number(server.port()), scratch.path("in")});
    ASSERT_TRUE(waitUntil([&] { return server.output().count("Image saved for ") >= 60 || send.finished(); }, 120000));
    const ToolResult restart = runTool("bash", {QStringLiteral(TALMIR_SOURCE_DIR "/scripts/pg-cluster.sh"), "restart", cluster});
    ASSERT_EQ(restart.exitCode, 0) << restart.output.toStdString();
    ASSERT_TRUE(waitUntil([&] { return send.finished(); }, 240000));

    // Which file got which answer, from storescu's own account.
    QStringList acknowledged;
    QString sending;
    static const QRegularExpression sendingFile(QStringLiteral("Sending file: (.*)$"));
    for (const QString &line : send.result().output.split('\n')) {
        const QRegularExpressionMatch m = sendingFile.match(line.trimmed());
        if (m.hasMatch())
            sending = m.captured(1).trimmed();
        else if (line.contains("Received Store Response (Success)") && files.contains(sending))
            acknowledged << files.value(sending);
    }
    EXPECT_GT(acknowledged.size(), 0);
    // The restart ended the server's connection: the program found out and reconnected.
    EXPECT_GE(server.output().count("Connecting to DB..."), 2) << server.output().right(3000).toStdString();
    QString error;
    auto archive = openHomeArchive(scratch.home(), error);
    ASSERT_TRUE(archive) << error.toStdString();
    ImageRows rows = imageRows(*archive);
    for (const QString &uid : acknowledged)
        EXPECT_TRUE(rows.uids.contains(uid)) << uid.toStdString() << " was acknowledged but is not in the archive";
    EXPECT_TRUE(rows.unreadable.isEmpty()) << rows.unreadable.join('\n').toStdString();

    // What was refused comes again and is stored once.
    const StoreOutcome again = storeFiles(server.port(), {"+sd", scratch.path("in")});
    EXPECT_EQ(again.success, 300) << again.output.right(2000).toStdString();
    rows = imageRows(*archive);
    EXPECT_EQ(rows.uids.size(), 300);
    EXPECT_EQ(QSet<QString>(rows.uids.begin(), rows.uids.end()).size(), 300);
    EXPECT_TRUE(rows.unreadable.isEmpty());
    EXPECT_TRUE(server.isRunning());
}

TEST(ServerDatabase, AMigratedArchiveAnswersAsBefore)
{
    NEEDS_SERVER();
    ScratchHome scratch(ScratchHome::Archive::Embedded);
    writeImages(scratch.path("in"), 5, 1, 100);
    QStringList before;
    {
        ServerProcess server(scratch);
        ASSERT_TRUE(server.start());
        ASSERT_GT(server.port(), 0);
        ASSERT_EQ(storeFiles(server.port(), {"+sd", scratch.path("in")}).success, 500);
        before = answers(server.port());
    }
    QString error;
    const QString target = ServerDatabase::create(error);
    ASSERT_FALSE(target.isEmpty()) << error.toStdString();

    const ToolResult migrate = runTool(ServerProcess::program(), {"--home", scratch.home(), "migrate", "--to", target}, 120000);
    EXPECT_EQ(migrate.exitCode, 0) << migrate.output.toStdString();
    EXPECT_TRUE(migrate.output.contains("dicom.imagetable: 500 rows")) << migrate.output.toStdString();
    QString line;
    ASSERT_TRUE(HomeFolder(scratch.home()).readFirstLine("DBServer.txt", line, error));
    EXPECT_EQ(line, target);

    {
        ServerProcess server(scratch);
        ASSERT_TRUE(server.start());
        ASSERT_GT(server.port(), 0);
        ASSERT_TRUE(server.waitForOutput("Connected to DB. Server=127.0.0.1")) << server.output().toStdString();
        EXPECT_EQ(answers(server.port()), before);
    }
    // A second migration finds a database that holds an archive and refuses.
    const ToolResult again = runTool(ServerProcess::program(), {"--home", scratch.home(), "migrate", "--to", target});
    EXPECT_NE(again.exitCode, 0);
    ServerDatabase::drop(target);
}

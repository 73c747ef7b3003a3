#include "tests/toolkit/ToolkitTestSupport.h"

#include "dicom/toolkit/ToolkitUtility.h"
#include "dicom/toolkit/detail/Runtime.h"
#include "dicom/toolkit/detail/ScuAssociation.h"
#include "dicom/toolkit/viewer/ToolkitViewer.h"
#include "tests/support/TestSupport.h"

#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmdata/dcxfer.h>

#include <gtest/gtest.h>

#include <algorithm>

using namespace pacs::toolkit;
using namespace pacs::toolkit::test;
using pacs::test::waitUntil;

namespace {

const QString kLocal = QStringLiteral("127.0.0.1");

QStringList writeSamples(const QTemporaryDir &dir, int count)
{
    QStringList files;
    for (int i = 0; i < count; ++i) {
        const QString path = dir.path() + QStringLiteral("/out%1.dcm").arg(i);
        SampleSpec spec;
        spec.instanceNumber = i + 1;
        if (!writeSample(path, spec).isEmpty())
            files << path;
    }
    return files;
}

// Waits for the next outgoing completion and returns it.
Recorder::Completion nextCompletion(Recorder &events, qsizetype before)
{
    if (!waitUntil([&] { return events.outgoingCompletions.size() > before; }, 30000))
        return {};
    return events.outgoingCompletions.at(before);
}

} // namespace

// An association opened before its files are known (a C-MOVE's) offers every
// storage class uncompressed, and the archive's JPEG Lossless for the usual
// image classes in contexts of their own, within the 128 a peer reads.
TEST(ToolkitOutgoing, TheFirstProposalKeepsEveryClassAndOffersTheStoredSyntax)
{
    using pacs::toolkit::detail::ProposedContext;
    pacs::toolkit::detail::initializeRuntime(); // the codecs that say what can be compressed
    const std::string explicitLE = UID_LittleEndianExplicitTransferSyntax;
    const std::string stored = DcmXfer(EXS_JPEGProcess14).getXferID();
    auto offers = [](const std::vector<ProposedContext> &contexts, const char *sopClass, const std::string &syntax,
                     size_t alone) {
        return std::any_of(contexts.begin(), contexts.end(), [&](const ProposedContext &c) {
            const auto &t = c.transferSyntaxes;
            return c.abstractSyntax == sopClass && std::find(t.begin(), t.end(), syntax) != t.end()
                   && (alone == 0 || t.size() == alone);
        });
    };
    const auto plain = pacs::toolkit::detail::defaultProposal(EXS_Unknown);
    EXPECT_LE(plain.size(), 128u);
    for (int i = 0; i < numberOfDcmLongSCUStorageSOPClassUIDs; ++i)
        EXPECT_TRUE(offers(plain, dcmLongSCUStorageSOPClassUIDs[i], explicitLE, 0)) << dcmLongSCUStorageSOPClassUIDs[i];
    for (const char *sopClass : {UID_CTImageStorage, UID_MRImageStorage, UID_ComputedRadiographyImageStorage})
        EXPECT_TRUE(offers(plain, sopClass, stored, 1)) << sopClass;
    // Compression asked for takes the spare contexts instead.
    const auto compressed = pacs::toolkit::detail::defaultProposal(EXS_JPEG2000LosslessOnly);
    EXPECT_LE(compressed.size(), 128u);
    EXPECT_TRUE(offers(compressed, UID_CTImageStorage, DcmXfer(EXS_JPEG2000LosslessOnly).getXferID(), 1));
    EXPECT_FALSE(offers(compressed, UID_CTImageStorage, stored, 0));
}

TEST(ToolkitOutgoing, EchoTestAnswersZeroOnlyWhenTheNodeAnswers)
{
    QTemporaryDir dir;
    StoreScpProcess node(dir.path() + QStringLiteral("/node"));
    ASSERT_TRUE(node.isReady());
    EXPECT_EQ(ToolkitUtility::echoTest(kLocal, node.port(), QStringLiteral("ARCHIVE"), QStringLiteral("DEST")), 0);
    QString error;
    const HeldPort nobody; // refuses the connection
    EXPECT_NE(ToolkitUtility::echoTest(kLocal, nobody.port(), QStringLiteral("ARCHIVE"), QStringLiteral("NOBODY"), &error), 0);
    EXPECT_TRUE(error.contains(QStringLiteral("NOBODY"))) << error.toStdString();
}

TEST(ToolkitOutgoing, ConnectionConnectsSendsVerifiesAndCloses)
{
    QTemporaryDir dir;
    StoreScpProcess node(dir.path() + QStringLiteral("/node"));
    ASSERT_TRUE(node.isReady());
    const QStringList files = writeSamples(dir, 3);
    Recorder events;
    ToolkitListener source(&events);
    auto connection = source.newConnection(QStringLiteral("DicomConnection"));
    EXPECT_TRUE(connection->connectionReady());

    connection->setUserTag(QStringLiteral("entry-1"));
    connection->connectTo(kLocal, node.port(), QStringLiteral("ARCHIVE"), QStringLiteral("DEST"));
    auto done = nextCompletion(events, 0);
    EXPECT_EQ(done.action, QStringLiteral("SetDestination"));
    EXPECT_TRUE(done.success) << done.error.toStdString();
    EXPECT_EQ(done.tag, QStringLiteral("entry-1"));

    connection->sendFilesAsync(QStringList{QString()} + files);
    done = nextCompletion(events, 1);
    EXPECT_EQ(done.action, QStringLiteral("SendImages"));
    EXPECT_TRUE(done.success) << done.error.toStdString();
    EXPECT_EQ(connection->actionResultCode(), 0);
    EXPECT_EQ(connection->completedCount(), 3);
    EXPECT_EQ(connection->remainingCount(), 0);
    EXPECT_EQ(node.receivedFiles().size(), 3);
    EXPECT_EQ(events.updates, 3);

    connection->verifyAsync();
    done = nextCompletion(events, 2);
    EXPECT_EQ(done.action, QStringLiteral("Sendverify"));
    EXPECT_TRUE(done.success) << done.error.toStdString();

    connection->closeAssociation();
    done = nextCompletion(events, 3);
    EXPECT_EQ(done.action, QStringLiteral("Close"));
    EXPECT_TRUE(waitUntil([&] { return events.outgoingClosed == 1; }, 10000));
    EXPECT_TRUE(connection->connectionReady());
    EXPECT_TRUE(events.completions.isEmpty()); // nothing went to the incoming-side events
    EXPECT_FALSE(events.offMainThread);
}

TEST(ToolkitOutgoing, CompressionFallsBackToWhatThePeerAccepts)
{
    QTemporaryDir dir;
    StoreScpProcess node(dir.path() + QStringLiteral("/node")); // accepts uncompressed only
    ASSERT_TRUE(node.isReady());
    // One archived file as it is stored (JPEG Lossless), one uncompressed.
    const QStringList plain = writeSamples(dir, 2);
    ToolkitImage image;
    ASSERT_TRUE(image.readFile(plain.at(0)));
    const QString archived = dir.path() + QStringLiteral("/archived.dcm");
    ASSERT_TRUE(image.writeImageFile(archived, true));
    ASSERT_EQ(fileTransferSyntax(archived), QStringLiteral("1.2.840.10008.1.2.4.57"));

    Recorder events;
    ToolkitListener source(&events);
    auto connection = source.newConnection();
    connection->setCompression(QStringLiteral("1.2.840.10008.1.2.4.91"), QStringLiteral("90"));
    connection->connectTo(kLocal, node.port(), QStringLiteral("ARCHIVE"), QStringLiteral("DEST"));
    ASSERT_TRUE(nextCompletion(events, 0).success);
    connection->sendFilesAsync({archived, plain.at(1)});
    const auto done = nextCompletion(events, 1);
    EXPECT_TRUE(done.success) << done.error.toStdString();
    EXPECT_EQ(connection->completedCount(), 2);
    const QStringList received = node.receivedFiles();
    ASSERT_EQ(received.size(), 2);
    for (const QString &file : received)
        EXPECT_EQ(fileTransferSyntax(file), QStringLiteral("1.2.840.10008.1.2.1"));
}

TEST(ToolkitOutgoing, UnreachableDestinationFailsWithItsTitle)
{
    Recorder events;
    ToolkitListener source(&events);
    auto connection = source.newConnection();
    const HeldPort down; // refuses the connection
    connection->connectTo(kLocal, down.port(), QStringLiteral("ARCHIVE"), QStringLiteral("STORAGE"));
    const auto done = nextCompletion(events, 0);
    EXPECT_EQ(done.action, QStringLiteral("SetDestination"));
    EXPECT_FALSE(done.success);
    EXPECT_TRUE(done.error.contains(QStringLiteral("STORAGE"))) << done.error.toStdString();
    EXPECT_TRUE(connection->connectionReady());

    connection->sendFilesAsync({QStringLiteral("/nonexistent.dcm")});
    const auto send = nextCompletion(events, 1);
    EXPECT_FALSE(send.success);
    EXPECT_NE(connection->actionResultCode(), 0);
}

TEST(ToolkitOutgoing, SendToNodeAndTheViewerReadTheSameFile)
{
    QTemporaryDir dir;
    StoreScpProcess node(dir.path() + QStringLiteral("/node"));
    ASSERT_TRUE(node.isReady());
    SampleSpec spec;
    spec.kind = SampleKind::RGB;
    const QString file = dir.path() + QStringLiteral("/rgb.dcm");
    ASSERT_FALSE(writeSample(file, spec).isEmpty());

    ToolkitViewer viewer;
    ASSERT_TRUE(viewer.viewerImages().listReadFile(file));
    EXPECT_EQ(viewer.viewerImages().listCount(), 1);
    const QImage frame = viewer.currentFrame();
    EXPECT_EQ(frame.size(), QSize(64, 64));

    QString error;
    EXPECT_TRUE(viewer.viewerImages().listItem(1).sendToNode(kLocal, node.port(), QStringLiteral("TALMIR"),
                                                            QStringLiteral("DEST"), &error)) << error.toStdString();
    EXPECT_EQ(node.receivedFiles().size(), 1);
    const HeldPort down; // refuses the connection
    EXPECT_FALSE(viewer.viewerImages().listItem(1).sendToNode(kLocal, down.port(), QStringLiteral("TALMIR"),
                                                             QStringLiteral("DEST"), &error));
    viewer.viewerImages().listClear();
    EXPECT_EQ(viewer.viewerImages().listCount(), 0);
}

#include "browser/StudyInfo.h"
#include "db/SqlText.h"
#include "dicom/DicomServer.h"
#include "dicom/toolkit/ToolkitImage.h"
#include "dicom/toolkit/ToolkitImageList.h"
#include "dicom/toolkit/viewer/ToolkitViewer.h"
#include "tests/db/ArchiveFixture.h"
#include "tests/dicom/ReceptionFixture.h"
#include "tests/support/SampleImages.h"

#include <QDir>
#include <QFileInfo>
#include <gtest/gtest.h>

using namespace pacs;
using namespace pacs::browser;
using namespace pacs::test;

namespace {

const QStringList ImageCaptions{"InstanceUID", "SeriesUID_FKey", "InstanceNumber", "Filename", "SyncStatus"};

QStringList captions(const GridModel &grid)
{
    QStringList list;
    for (int c = 0; c < grid.cols(); ++c)
        list << grid.caption(c);
    return list;
}

// The Study Info logic over an installed archive whose rows the tests insert.
class StudyInfoArchive : public ArchiveFixture
{
protected:
    void SetUp() override
    {
        ArchiveFixture::SetUp();
        storageRoot = scratch.path("store/");
        QDir().mkpath(storageRoot);
    }

    void run(const QString &sql)
    {
        bool failed = false;
        connection.ExecuteSQL(sql, failed);
        ASSERT_FALSE(failed) << sql.toStdString() << log.errorText().toStdString();
    }
    void addSeries(const QString &study, const QString &series, int number)
    {
        run("INSERT INTO SeriesTable (SeriesUID, StudyUID_FKey, Modality, SeriesNumber, SeriesDescription) VALUES ('"
            + db::Quote(series) + "', '" + db::Quote(study) + "', 'CT', " + QString::number(number) + ", 'AXIAL')");
    }
    void addImage(const QString &series, const QString &instance, int number, const QString &fileName,
                  const QString &sync = "0")
    {
        run("INSERT INTO ImageTable (InstanceUID, SeriesUID_FKey, InstanceNumber, Filename, SyncStatus) VALUES ('"
            + instance + "', '" + db::Quote(series) + "', " + QString::number(number) + ", '" + fileName + "', "
            + (sync.isNull() ? QString("NULL") : "'" + sync + "'") + ")");
    }
    // A CT file under the storage root; returns its SOP Instance UID.
    QString writeImage(const QString &relative)
    {
        const QString path = storageRoot + relative;
        QDir().mkpath(QFileInfo(path).path());
        SampleSpec spec;
        const QString uid = writeSample(path, spec);
        EXPECT_FALSE(uid.isEmpty());
        return uid;
    }

    QString storageRoot;
    StudyInfoFields fields;
    toolkit::ToolkitImageList viewerImages;
    bool searching = false;
    StudyInfo info{connection, log, fields, viewerImages, [this] { return storageRoot; }, searching};
};

} // namespace

TEST_F(StudyInfoArchive, ChoosingAStudyListsItsSeriesImagesTheFirstImageAndItsAttributes)
{
    const QString study = "1.2.840.99'1"; // an apostrophe reaches the statements doubled
    addSeries(study, "1.2.840.99.2", 1);
    addSeries(study, "1.2.840.99.3", 2);
    const QString shown = writeImage("IMAGES/2024/CT/1_15_2024/P001/one.dcm");
    // Stored on a Windows drive of an earlier installation: found on today's storage root.
    addImage("1.2.840.99.2", shown, 1, "D:\\IMAGES\\2024\\CT\\1_15_2024\\P001\\one.dcm", "1");
    addImage("1.2.840.99.2", "1.2.840.99.5", 2, "/gone/IMAGES/2024/CT/1_15_2024/P001/gone.dcm");

    fields.setValue(StudyInfoFields::StudyUid, study);
    info.LoadSeriesList();

    EXPECT_EQ(fields.value(StudyInfoFields::StudyUid), "1.2.840.99''1");
    GridModel &series = info.seriesGrid();
    ASSERT_EQ(series.rows(), 3);
    EXPECT_EQ(captions(series), QStringList({"SeriesUID", "StudyUID_FKey", "Modality", "SeriesNumber", "SeriesDescription"}));
    EXPECT_EQ(series.cell(1, 0), "1.2.840.99.2");
    EXPECT_EQ(series.cell(1, 2), "CT");
    for (int c = 0; c < 5; ++c)
        EXPECT_EQ(series.columnWidth(c), c < 2 ? 2500 : 1500);

    // The first series and its first image are shown.
    EXPECT_EQ(series.row(), 1);
    EXPECT_EQ(fields.value(StudyInfoFields::SeriesUid), "1.2.840.99.2");
    EXPECT_EQ(fields.value(StudyInfoFields::SeriesUidToUpdate), "1.2.840.99.2");
    EXPECT_EQ(fields.value(StudyInfoFields::UpdatesSeriesUid), "1.2.840.99.2");
    EXPECT_EQ(fields.value(StudyInfoFields::SeriesStudyUid), study);
    GridModel &images = info.imageGrid();
    ASSERT_EQ(images.rows(), 3);
    EXPECT_EQ(captions(images), ImageCaptions);
    EXPECT_EQ(images.cell(1, 4), "1");
    EXPECT_EQ(fields.value(StudyInfoFields::InstanceUid), shown);
    EXPECT_EQ(fields.value(StudyInfoFields::ImageSeriesUid), "1.2.840.99.2");
    ASSERT_EQ(viewerImages.listCount(), 1);
    EXPECT_EQ(viewerImages.listItem(1).instanceUid(), shown);
    EXPECT_TRUE(info.attributeList().contains("(0008,0018) : SOPInstanceUID                : " + shown + "\r\n"));
    EXPECT_TRUE(info.attributeList().contains("(7FE0,0010) : PixelData                     : Pixel data\r\n"));
    EXPECT_EQ(info.containingFolder(), "D:\\IMAGES\\2024\\CT\\1_15_2024\\P001\\");
    EXPECT_TRUE(searching) << "the image list fill leaves the flag set";

    // An image whose file is gone: nothing in the viewer, nothing listed.
    images.setRow(2);
    info.ShowImageRow();
    EXPECT_EQ(fields.value(StudyInfoFields::InstanceUid), "1.2.840.99.5");
    EXPECT_EQ(viewerImages.listCount(), 0);
    EXPECT_EQ(info.attributeList(), "");
    EXPECT_EQ(info.containingFolder(), "/gone/IMAGES/2024/CT/1_15_2024/P001/");

    // A series without images: header only, nothing chosen.
    series.setRow(2);
    info.ShowSeriesRow();
    EXPECT_EQ(fields.value(StudyInfoFields::SeriesUid), "1.2.840.99.3");
    EXPECT_EQ(images.rows(), 1);
    EXPECT_EQ(captions(images), ImageCaptions);
    EXPECT_EQ(fields.value(StudyInfoFields::InstanceUid), "");
    EXPECT_FALSE(info.imageChosen());
    EXPECT_EQ(info.containingFolder(), "");
}

TEST_F(StudyInfoArchive, AStudyWithoutSeriesKeepsTheHeaderRowWithItsCaptions)
{
    addSeries("1.2.840.99.10", "1.2.840.99.11", 1);
    fields.setValue(StudyInfoFields::StudyUid, "1.2.840.99.12");
    fields.setValue(StudyInfoFields::SeriesUid, "1.2.840.99.11");
    info.LoadSeriesList();
    EXPECT_EQ(info.seriesGrid().rows(), 1);
    EXPECT_EQ(captions(info.seriesGrid()).first(), "SeriesUID");
    EXPECT_EQ(info.imageGrid().rows(), 1);
    EXPECT_EQ(fields.value(StudyInfoFields::SeriesUid), "");
    EXPECT_EQ(viewerImages.listCount(), 0);
}

TEST_F(StudyInfoArchive, ListsAtMostAThousandImagesAndOnlyCountsThemInCountingMode)
{
    ASSERT_TRUE(connection.BeginTrans());
    for (int i = 1; i <= 1001; ++i)
        addImage("1.2.840.99.20", "1.2.840.99.20." + QString::number(i), i, "none");
    ASSERT_TRUE(connection.CommitTrans());
    addSeries("1.2.840.99.30", "1.2.840.99.31", 1);
    addImage("1.2.840.99.31", "1.2.840.99.31.1", 1, "none", "1");
    addImage("1.2.840.99.31", "1.2.840.99.31.2", 2, "none", "1");
    addImage("1.2.840.99.31", "1.2.840.99.31.3", 3, "none", "0");
    addImage("1.2.840.99.31", "1.2.840.99.31.4", 4, "none", QString());

    fields.setValue(StudyInfoFields::SeriesUid, "1.2.840.99.20");
    info.LoadImageList();
    EXPECT_EQ(info.imageGrid().rows(), 1 + 1000);

    // As the sync status report drives it: series rows made current one by one.
    info.setCountingMode(true);
    fields.setValue(StudyInfoFields::StudyUid, "1.2.840.99.30");
    info.LoadSeriesList();
    info.resetCounters();
    info.seriesGrid().setRow(1);
    info.ShowSeriesRow();
    EXPECT_EQ(info.imageCounter(), 4);
    EXPECT_EQ(info.sentCounter(), 2);
    EXPECT_EQ(info.imageGrid().rows(), 1);
    EXPECT_EQ(viewerImages.listCount(), 0);
    info.setCountingMode(false);
    info.ShowSeriesRow();
    EXPECT_EQ(info.imageGrid().rows(), 5);
    EXPECT_EQ(info.imageCounter(), 4) << "counters move only in counting mode";
}

TEST(ToolkitViewerRender, RendersGreyAndColourFramesAndNothingForAnImageWithoutPixels)
{
    QTemporaryDir dir;
    auto render = [&](const QString &name, SampleSpec spec, int frame = 0) {
        const QString path = dir.filePath(name);
        EXPECT_FALSE(writeSample(path, spec).isEmpty()) << name.toStdString();
        toolkit::ToolkitImage image;
        EXPECT_TRUE(image.readFile(path));
        return toolkit::ToolkitViewer::renderFrame(image, frame);
    };
    SampleSpec ct;
    const QImage grey = render("ct.dcm", ct);
    ASSERT_FALSE(grey.isNull());
    EXPECT_EQ(grey.format(), QImage::Format_Grayscale8);
    EXPECT_EQ(grey.size(), QSize(64, 64));
    EXPECT_NE(grey.pixel(0, 0), grey.pixel(10, 3));

    // MONOCHROME1: the same stored values shown the other way round.
    SampleSpec mono1 = ct;
    mono1.elements["0028,0004"] = "MONOCHROME1";
    const QImage inverted = render("ct-mono1.dcm", mono1);
    ASSERT_FALSE(inverted.isNull());
    for (const QPoint p : {QPoint(0, 0), QPoint(10, 3), QPoint(40, 50)})
        EXPECT_NEAR(qGray(inverted.pixel(p)), 255 - qGray(grey.pixel(p)), 1);

    // A compressed file (as the archive stores them) renders the same, and again.
    SampleSpec lossless = ct;
    lossless.transferSyntax = "1.2.840.10008.1.2.4.70";
    const QString jpegPath = dir.filePath("ct-jpeg.dcm");
    ASSERT_FALSE(writeSample(jpegPath, lossless).isEmpty());
    toolkit::ToolkitImage jpeg;
    ASSERT_TRUE(jpeg.readFile(jpegPath));
    const QImage decoded = toolkit::ToolkitViewer::renderFrame(jpeg);
    ASSERT_FALSE(decoded.isNull());
    EXPECT_EQ(decoded.pixel(10, 3), grey.pixel(10, 3));
    EXPECT_EQ(toolkit::ToolkitViewer::renderFrame(jpeg), decoded);
    EXPECT_EQ(jpeg.transferSyntaxUid(), "1.2.840.10008.1.2.4.70");

    SampleSpec rgb;
    rgb.kind = SampleKind::RGB;
    const QImage colour = render("rgb.dcm", rgb);
    ASSERT_FALSE(colour.isNull());
    EXPECT_EQ(colour.pixel(0, 0), qRgb(0, 7, 14)); // the first three stored bytes
    SampleSpec ybr = rgb;
    ybr.elements["0028,0004"] = "YBR_FULL";
    const QImage converted = render("ybr.dcm", ybr);
    ASSERT_FALSE(converted.isNull());
    EXPECT_NE(converted.pixel(0, 0), colour.pixel(0, 0)) << "YBR is converted, not shown as RGB";
    EXPECT_NE(qRed(converted.pixel(5, 5)), qGreen(converted.pixel(5, 5)));

    SampleSpec frames;
    frames.kind = SampleKind::MultiFrame;
    const QImage first = render("frames.dcm", frames);
    const QImage last = render("frames.dcm", frames, 3);
    ASSERT_FALSE(last.isNull());
    EXPECT_NE(first, last);
    EXPECT_TRUE(render("frames.dcm", frames, 4).isNull());

    SampleSpec none;
    none.kind = SampleKind::NoPixels;
    EXPECT_TRUE(render("none.dcm", none).isNull());
    EXPECT_TRUE(toolkit::ToolkitViewer::renderFrame(toolkit::ToolkitImage()).isNull());
}

// The page over a running server: images stored by a modality, and an image
// without a Study UID that reception puts in the viewer for the operator.
class StudyInfoReception : public ReceptionFixture
{
};

TEST_F(StudyInfoReception, ShowsStoredImagesAndListsAnImageReceptionPutInTheViewer)
{
    start();
    SampleSpec spec;
    spec.studyUid = "1.2.840.99.40";
    spec.seriesUid = "1.2.840.99.41";
    spec.instanceUid = "1.2.840.99.42";
    const StoreOutcome stored = send({sample("ct.dcm", spec)});
    ASSERT_EQ(stored.success, 1) << stored.output.toStdString();

    StudyInfoFields fields;
    bool searching = false;
    DicomServer &server = m_controller->server();
    StudyInfo info(m_controller->connection(), m_controller->log(), fields, server.viewerImages(),
                   [this] { return m_controller->options().storageRoot(); }, searching);
    QObject::connect(&server, &DicomServer::viewerImagesChanged, &info, &StudyInfo::showReceivedImage);
    int repaints = 0;
    QObject::connect(&info, &StudyInfo::viewerImagesChanged, [&] { ++repaints; });

    fields.setValue(StudyInfoFields::StudyUid, spec.studyUid);
    info.LoadSeriesList();
    ASSERT_EQ(info.imageGrid().rows(), 2) << errors().toStdString();
    EXPECT_EQ(fields.value(StudyInfoFields::InstanceUid), spec.instanceUid);
    ASSERT_EQ(server.viewerImages().listCount(), 1);
    EXPECT_TRUE(info.attributeList().contains("(0020,000E) : SeriesInstanceUID             : 1.2.840.99.41\r\n"));
    const QString folder = info.containingFolder();
    EXPECT_TRUE(folder.endsWith("/P001/")) << folder.toStdString();
    EXPECT_TRUE(QFileInfo(folder).isDir());

    SampleSpec noStudy;
    noStudy.instanceUid = "1.2.840.99.50";
    noStudy.elements["0020,000D"] = "";
    repaints = 0;
    send({sample("no-study.dcm", noStudy)});
    ASSERT_TRUE(waitUntil([&] { return info.attributeList().contains("1.2.840.99.50"); }))
        << errors().toStdString();
    EXPECT_GT(repaints, 0);
    EXPECT_EQ(server.viewerImages().listItem(1).instanceUid(), "1.2.840.99.50");
}

#include "ToolkitTestSupport.h"

#include "TestSupport.h"
#include "toolkit/ToolkitUtility.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTcpServer>

#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcrleerg.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmimage/diregist.h>
#include <dcmtk/dcmjpeg/djencode.h>
#include <dcmtk/dcmjpeg/djrploss.h>

#include <vector>

namespace pacs::toolkit::test {

struct ToolProcess::Impl
{
    QProcess process;
};

ToolProcess::ToolProcess(const QString &program, const QStringList &arguments) : m_impl(std::make_unique<Impl>())
{
    m_impl->process.setProcessChannelMode(QProcess::MergedChannels);
    m_impl->process.start(program, arguments);
}

ToolProcess::~ToolProcess()
{
    if (m_impl->process.state() != QProcess::NotRunning) {
        m_impl->process.kill();
        m_impl->process.waitForFinished(5000);
    }
}

bool ToolProcess::finished() const { return m_impl->process.state() == QProcess::NotRunning; }

ToolResult ToolProcess::result() const
{
    ToolResult r;
    r.finished = finished();
    r.exitCode = r.finished && m_impl->process.exitStatus() == QProcess::NormalExit ? m_impl->process.exitCode() : -1;
    r.output = QString::fromLocal8Bit(m_impl->process.readAll());
    return r;
}

ToolResult runTool(const QString &program, const QStringList &arguments, int timeoutMs)
{
    ToolProcess process(program, arguments);
    pacs::test::waitUntil([&] { return process.finished(); }, timeoutMs);
    return process.result();
}

void Recorder::checkThread()
{
    if (QThread::currentThread() != QCoreApplication::instance()->thread())
        offMainThread = true;
}

void Recorder::associationRequest(ToolkitConnection &connection, bool &isOK)
{
    checkThread();
    callingTitles << connection.callingTitle();
    calledTitles << connection.calledTitle();
    offered << connection.offeredContexts();
    if (onAssociation)
        onAssociation(connection, isOK);
    else if (!connection.offeredContexts().isEmpty())
        isOK = true;
}

void Recorder::verifyReceived(ToolkitConnection &connection, int &status)
{
    checkThread();
    ++echoes;
    status = 0;
    if (onVerify)
        onVerify(connection, status);
}

void Recorder::imageReceived(ToolkitConnection &connection, ToolkitImage &image)
{
    checkThread();
    receivedUids << image.instanceUid();
    if (onImage) {
        onImage(connection, image);
        return;
    }
    const QString path = storeDir + QLatin1Char('/') + image.instanceUid() + QStringLiteral(".dcm");
    connection.setUserTag(image.instanceUid());
    connection.saveImageAsync(image, path, true, QStringLiteral("1.2.840.10008.1.2.4.57"));
}

void Recorder::queryRequest(ToolkitConnection &connection)
{
    checkThread();
    commands << connection.commandName();
    roots << connection.queryRoot();
    levels << connection.requestIdentifier().findAttribute(0x0008, 0x0052).attributeText();
    moveDestinations << connection.moveDestination();
    if (onQuery)
        onQuery(connection);
}

void Recorder::actionUpdate(ToolkitConnection &, const QString &, const QString &, int, int)
{
    checkThread();
    ++updates;
}

void Recorder::actionComplete(ToolkitConnection &connection, const QString &action, const QString &tag, bool success,
                              const QString &errorMessage)
{
    checkThread();
    completions << Completion{action, tag, success, errorMessage};
    if (onComplete) {
        onComplete(connection, action, success, errorMessage);
        return;
    }
    if (action == QLatin1String("SaveImage") && success) {
        savedPaths << storeDir + QLatin1Char('/') + connection.userTag() + QStringLiteral(".dcm");
        connection.setStatus(0);
    }
}

void Recorder::outgoingActionComplete(ToolkitConnection &connection, const QString &action, const QString &tag,
                                      bool success, const QString &errorMessage)
{
    checkThread();
    outgoingCompletions << Completion{action, tag, success, errorMessage};
    if (onOutgoingComplete)
        onOutgoingComplete(connection, action, success, errorMessage);
}

void Recorder::outgoingActionUpdate(ToolkitConnection &, const QString &, const QString &, int, int)
{
    checkThread();
    ++updates;
}

void Recorder::outgoingAssociationClosed(ToolkitConnection &)
{
    checkThread();
    ++outgoingClosed;
}

ListenerFixture::ListenerFixture()
{
    events.storeDir = dir.path() + QStringLiteral("/store");
    listener.startListening(0);
}

int freePort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

StoreScp::StoreScp(const QString &dir, const QString &aeTitle, const QStringList &extra) : port(freePort()), folder(dir)
{
    QDir().mkpath(dir);
    process = std::make_unique<ToolProcess>(QStringLiteral("storescp"),
                                            QStringList{QStringLiteral("-od"), dir, QStringLiteral("-aet"), aeTitle} + extra
                                                << QString::number(port));
    ready = pacs::test::waitUntil([&] {
        return ToolkitUtility::echoTest(QStringLiteral("127.0.0.1"), port, QStringLiteral("PROBE"), aeTitle) == 0;
    }, 15000);
}

QStringList StoreScp::receivedFiles() const
{
    QStringList files;
    for (const QString &name : QDir(folder).entryList(QDir::Files))
        files << folder + QLatin1Char('/') + name;
    return files;
}

QString fileTransferSyntax(const QString &path)
{
    DcmFileFormat file;
    OFString uid;
    if (file.loadFile(QFile::encodeName(path).constData()).bad()
        || file.getMetaInfo()->findAndGetOFString(DCM_TransferSyntaxUID, uid).bad())
        return QString();
    return QString::fromLatin1(uid.c_str());
}

QString writeSample(const QString &path, const SampleSpec &spec)
{
    DJEncoderRegistration::registerCodecs();
    DcmRLEEncoderRegistration::registerCodecs();
    char uid[100];
    auto newUid = [&] { return QString::fromLatin1(dcmGenerateUniqueIdentifier(uid)); };

    DcmFileFormat file;
    DcmDataset *ds = file.getDataset();
    const QString instance = spec.instanceUid.isEmpty() ? newUid() : spec.instanceUid;
    const char *sopClass = spec.kind == Sample::CT ? UID_CTImageStorage
                           : spec.kind == Sample::MR ? UID_MRImageStorage
                                                     : UID_SecondaryCaptureImageStorage;
    auto put = [&](const DcmTagKey &key, const QString &value) { ds->putAndInsertString(key, value.toLatin1().constData()); };
    put(DCM_SOPClassUID, QString::fromLatin1(sopClass));
    put(DCM_SOPInstanceUID, instance);
    put(DCM_PatientID, spec.patientId);
    put(DCM_PatientName, spec.patientName);
    put(DCM_PatientBirthDate, QStringLiteral("19800102"));
    put(DCM_PatientSex, QStringLiteral("M"));
    put(DCM_StudyInstanceUID, spec.studyUid.isEmpty() ? newUid() : spec.studyUid);
    put(DCM_SeriesInstanceUID, spec.seriesUid.isEmpty() ? newUid() : spec.seriesUid);
    put(DCM_StudyDate, spec.studyDate);
    put(DCM_StudyTime, QStringLiteral("103000"));
    put(DCM_AccessionNumber, QStringLiteral("ACC1"));
    put(DCM_StudyDescription, QStringLiteral("HEAD"));
    put(DCM_Modality, spec.kind == Sample::CT ? QStringLiteral("CT") : spec.kind == Sample::MR ? QStringLiteral("MR") : QStringLiteral("OT"));
    put(DCM_SeriesNumber, QString::number(spec.seriesNumber));
    put(DCM_InstanceNumber, QString::number(spec.instanceNumber));

    if (spec.kind != Sample::NoPixels) {
        const bool rgb = spec.kind == Sample::RGB;
        const Uint16 rows = spec.kind == Sample::MR ? 32 : 64, cols = rows;
        ds->putAndInsertUint16(DCM_Rows, rows);
        ds->putAndInsertUint16(DCM_Columns, cols);
        ds->putAndInsertUint16(DCM_SamplesPerPixel, rgb ? 3 : 1);
        put(DCM_PhotometricInterpretation, rgb ? QStringLiteral("RGB") : QStringLiteral("MONOCHROME2"));
        ds->putAndInsertUint16(DCM_BitsAllocated, rgb ? 8 : 16);
        ds->putAndInsertUint16(DCM_BitsStored, rgb ? 8 : 12);
        ds->putAndInsertUint16(DCM_HighBit, rgb ? 7 : 11);
        ds->putAndInsertUint16(DCM_PixelRepresentation, 0);
        if (rgb) {
            ds->putAndInsertUint16(DCM_PlanarConfiguration, 0);
            std::vector<Uint8> pixels(size_t(rows) * cols * 3);
            for (size_t i = 0; i < pixels.size(); ++i)
                pixels[i] = Uint8((i * 7) % 251);
            ds->putAndInsertUint8Array(DCM_PixelData, pixels.data(), unsigned(pixels.size()));
        } else {
            std::vector<Uint16> pixels(size_t(rows) * cols);
            for (size_t i = 0; i < pixels.size(); ++i)
                pixels[i] = Uint16((i * 13) % 4096);
            ds->putAndInsertUint16Array(DCM_PixelData, pixels.data(), unsigned(pixels.size()));
        }
    }

    E_TransferSyntax xfer = EXS_LittleEndianExplicit;
    if (!spec.transferSyntax.isEmpty()) {
        xfer = DcmXfer(spec.transferSyntax.toLatin1().constData()).getXfer();
        DJ_RPLossy lossy(90);
        const DcmRepresentationParameter *params = xfer == EXS_JPEGProcess1 ? &lossy : nullptr;
        if (ds->chooseRepresentation(xfer, params).bad() || !ds->canWriteXfer(xfer))
            return QString();
    }
    if (file.saveFile(QFile::encodeName(path).constData(), xfer).bad())
        return QString();
    return instance;
}

} // namespace pacs::toolkit::test

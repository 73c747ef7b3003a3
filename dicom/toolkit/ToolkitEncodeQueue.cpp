#include "dicom/toolkit/ToolkitEncodeQueue.h"

#include "dicom/toolkit/detail/ImageWriter.h"
#include "dicom/toolkit/detail/Runtime.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QThreadPool>

#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcfilefo.h>

#include <unistd.h>

namespace pacs::toolkit {


ToolkitEncodeQueue &ToolkitEncodeQueue::instance()
{
    static ToolkitEncodeQueue queue;
    return queue;
}

ToolkitEncodeQueue::ToolkitEncodeQueue() : m_pool(new QThreadPool)
{
    m_pool->setMaxThreadCount(qMax(1, QThread::idealThreadCount()));
    // Reception and queries come first; compression takes the time left over.
    m_pool->setThreadPriority(QThread::LowPriority);
}

bool ToolkitEncodeQueue::writeMarker(const QString &folder, const QString &path, const QString &transferSyntaxUid,
                                     QString *markerPath, QString *error)
{
    const QByteArray name = QCryptographicHash::hash(path.toUtf8(), QCryptographicHash::Sha1).toHex();
    const QString marker = folder + QLatin1Char('/') + QString::fromLatin1(name) + QStringLiteral(".encode");
    QFile file(marker);
    if (!QDir().mkpath(folder) || !file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || file.write((transferSyntaxUid + QLatin1Char('\n') + path).toUtf8()) < 0 || !file.flush()
        || ::fsync(file.handle()) != 0) {
        if (error) {
            *error = detail::noSpaceError(folder, 0, path);
            if (error->isEmpty())
                *error = QStringLiteral("cannot write the compression marker ") + marker;
        }
        file.close();
        QFile::remove(marker);
        return false;
    }
    file.close();
    detail::flushToDisk(folder, true);
    *markerPath = marker;
    return true;
}

void ToolkitEncodeQueue::enqueue(const QString &markerPath)
{
    ++m_pending;
    m_pool->start([this, markerPath] {
        try {
            encode(markerPath);
        } catch (...) {
            detail::logUnreported(QStringLiteral("compressing ") + markerPath + QStringLiteral(" failed: ")
                                  + detail::currentExceptionText());
        }
        --m_pending;
    });
}

int ToolkitEncodeQueue::resume(const QString &folder)
{
    const QStringList names = QDir(folder).entryList({QStringLiteral("*.encode")}, QDir::Files, QDir::Name);
    for (const QString &name : names)
        enqueue(folder + QLatin1Char('/') + name);
    return int(names.size());
}

bool ToolkitEncodeQueue::waitIdle(int msecs)
{
    const QDeadlineTimer deadline(msecs);
    while (m_pending > 0 && !deadline.hasExpired())
        m_pool->waitForDone(50);
    return m_pending == 0;
}

void ToolkitEncodeQueue::encode(const QString &markerPath)
{
    QFile marker(markerPath);
    if (!marker.open(QIODevice::ReadOnly))
        return; // done by a worker that had it already
    const QString text = QString::fromUtf8(marker.readAll());
    marker.close();
    const QString syntax = text.section(QLatin1Char('\n'), 0, 0);
    const QString path = text.section(QLatin1Char('\n'), 1);
    DcmFileFormat file;
    // A file deleted meanwhile is left deleted; one that cannot be read stays as it is.
    if (!path.isEmpty() && QFileInfo::exists(path)
        && file.loadFile(QFile::encodeName(path).constData()).good()) {
        file.loadAllDataIntoMemory();
        const E_TransferSyntax arrived = file.getDataset()->getOriginalXfer();
        const auto outcome = detail::writeDicomFile(file, arrived, path, detail::xferFromUid(syntax));
        if (!outcome.ok) {
            detail::logUnreported(QStringLiteral("compressing ") + path + QStringLiteral(": ") + outcome.error);
            return; // the marker stays: the next start tries again
        }
    }
    QFile::remove(markerPath);
}

} // namespace pacs::toolkit

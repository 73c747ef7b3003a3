#include "dicom/toolkit/ToolkitEncodeQueue.h"

#include "dicom/toolkit/detail/ImageWriter.h"
#include "dicom/toolkit/detail/Runtime.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QThreadPool>

#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcfilefo.h>

#include <sys/resource.h>
#include <sys/syscall.h>
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
                                     QString *markerPath, QString *error, bool flush)
{
    // One marker per write: a resend of the same path gets its own.
    static std::atomic<quint64> serial{0};
    const QByteArray name = QCryptographicHash::hash(path.toUtf8(), QCryptographicHash::Sha1).toHex();
    const QString marker = folder + QLatin1Char('/') + QString::fromLatin1(name) + QLatin1Char('-')
                           + QString::number(QDateTime::currentMSecsSinceEpoch()) + QLatin1Char('-')
                           + QString::number(++serial) + QStringLiteral(".encode");
    QFile file(marker);
    if (!QDir().mkpath(folder) || !file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || file.write((transferSyntaxUid + QLatin1Char('\n') + path).toUtf8()) < 0 || !file.flush()
        || (flush && ::fsync(file.handle()) != 0)) {
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
    if (flush)
        detail::flushToDisk(folder, true);
    *markerPath = marker;
    return true;
}

void ToolkitEncodeQueue::enqueue(const QString &markerPath)
{
    ++m_pending;
    m_pool->start([this, markerPath] {
        // Qt's LowPriority does nothing for ordinary Linux threads; the
        // thread's own nice value does: reception and queries take the CPU
        // first, compression what is left.
        static thread_local const bool niced = ::setpriority(PRIO_PROCESS, pid_t(::syscall(SYS_gettid)), 19) == 0;
        (void)niced;
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

bool ToolkitEncodeQueue::removeStoredFile(const QString &path)
{
    const std::lock_guard<std::mutex> guard(detail::storedFileLock());
    return QFile::remove(path) || !QFileInfo::exists(path);
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
    // A file deleted meanwhile is left deleted, one replaced meanwhile is left
    // to its own marker; one that cannot be read stays as it is.
    const detail::FileIdentity identity = detail::FileIdentity::of(path);
    if (!path.isEmpty() && identity.exists && detail::loadWholeFile(file, path).good()) {
        const E_TransferSyntax arrived = file.getDataset()->getOriginalXfer();
        const E_TransferSyntax target = detail::xferFromUid(syntax);
        detail::WriteOutcome outcome;
        outcome.ok = arrived == target; // already in its stored form (an earlier marker did it)
        if (!outcome.ok)
            outcome = detail::writeDicomFile(file, arrived, path, target, {}, &identity);
        if (!outcome.ok && !outcome.superseded) {
            detail::logUnreported(QStringLiteral("compressing ") + path + QStringLiteral(": ") + outcome.error);
            return; // the marker stays: the next start tries again
        }
    }
    QFile::remove(markerPath);
}

} // namespace pacs::toolkit

#include "dicom/toolkit/ToolkitEncodeQueue.h"

#include "dicom/toolkit/detail/ImageWriter.h"
#include "dicom/toolkit/detail/Runtime.h"
#include "dicom/toolkit/detail/WrittenFileWindow.h"

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

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace pacs::toolkit {

namespace {
constexpr char kSpareSuffix[] = ".free";
}

ToolkitEncodeQueue &ToolkitEncodeQueue::instance()
{
    // Never destroyed: a worker still compressing when the process exits
    // must not find the queue's lists gone under it.
    static ToolkitEncodeQueue *queue = new ToolkitEncodeQueue;
    return *queue;
}

ToolkitEncodeQueue::ToolkitEncodeQueue() : m_pool(new QThreadPool)
{
    m_pool->setMaxThreadCount(qMax(1, QThread::idealThreadCount()));
    m_backlogLimit = 2 * m_pool->maxThreadCount();
    // At exit the compression under way finishes and the queued rest waits
    // for the next start (their markers stay): DCMTK's codecs and data
    // dictionary go away with the process's static objects, and a worker
    // still using them then would crash the exit.
    std::atexit([] { instance().stopForExit(); });
    // Reception and queries come first; compression takes the time left over.
    m_pool->setThreadPriority(QThread::LowPriority);
}

bool ToolkitEncodeQueue::writeMarker(const QString &folder, const QString &path, const QString &transferSyntaxUid,
                                     QString *markerPath, QString *error, bool flush)
{
    // A marker whose compression is done is set aside (".free") and filled
    // again by a later write rather than a new one made: making and deleting
    // a file per image costs more than writing it (a volume without a journal
    // searches past every recently deleted inode for a free one). Each write
    // still has its own marker, and a marker only appears with its text whole.
    const QString spare = instance().takeSpareMarker(folder);
    QString marker;
    if (spare.isEmpty()) {
        static std::atomic<quint64> serial{0};
        const QByteArray name = QCryptographicHash::hash(path.toUtf8(), QCryptographicHash::Sha1).toHex();
        marker = folder + QLatin1Char('/') + QString::fromLatin1(name) + QLatin1Char('-')
                 + QString::number(QDateTime::currentMSecsSinceEpoch()) + QLatin1Char('-') + QString::number(++serial)
                 + QStringLiteral(".encode");
    } else {
        marker = spare.chopped(int(sizeof(kSpareSuffix) - 1)) + QStringLiteral(".encode");
    }
    const QString written = spare.isEmpty() ? marker : spare;
    const QByteArray text = (transferSyntaxUid + QLatin1Char('\n') + path).toUtf8();
    QFile file(written);
    if (!QDir().mkpath(folder) || !file.open(QIODevice::ReadWrite) || file.write(text) != text.size()
        || !file.resize(text.size()) || !file.flush() || (flush && ::fsync(file.handle()) != 0)
        || (!spare.isEmpty() && std::rename(QFile::encodeName(spare).constData(), QFile::encodeName(marker).constData()) != 0)) {
        if (error) {
            *error = detail::noSpaceError(folder, 0, path);
            if (error->isEmpty())
                *error = QStringLiteral("cannot write the compression marker ") + marker;
        }
        file.close();
        QFile::remove(written);
        return false;
    }
    file.close();
    if (flush)
        detail::flushToDisk(folder, true);
    *markerPath = marker;
    return true;
}

QString ToolkitEncodeQueue::takeSpareMarker(const QString &folder)
{
    const std::lock_guard<std::mutex> guard(m_spareLock);
    const QString prefix = folder + QLatin1Char('/');
    for (qsizetype i = 0; i < m_spare.size(); ++i)
        if (m_spare.at(i).startsWith(prefix))
            return m_spare.takeAt(i);
    return QString();
}

// Under the lock, so that a write refilling the marker queues it again only
// once this run no longer counts as queued.
void ToolkitEncodeQueue::finishMarker(const QString &markerPath, bool done)
{
    static const QString suffix = QStringLiteral(".encode");
    const std::lock_guard<std::mutex> guard(m_spareLock);
    m_queued.remove(markerPath);
    if (!done)
        return;
    const QString spare = markerPath.chopped(suffix.size()) + QLatin1String(kSpareSuffix);
    if (!markerPath.endsWith(suffix) // not named as this queue names its markers
        || std::rename(QFile::encodeName(markerPath).constData(), QFile::encodeName(spare).constData()) != 0) {
        QFile::remove(markerPath);
        return;
    }
    m_spare << spare;
}

void ToolkitEncodeQueue::enqueue(const QString &markerPath)
{
    {
        // A marker is compressed once at a time: queued twice, the second
        // run could empty it after it was filled again for the next image.
        const std::lock_guard<std::mutex> guard(m_spareLock);
        if (m_queued.contains(markerPath))
            return;
        m_queued.insert(markerPath);
    }
    ++m_pending;
    m_pool->start([this, markerPath] {
        // Reception and queries take the CPU first, compression what is left.
        detail::yieldThisThreadTo(19);
        bool done = false;
        try {
            done = encode(markerPath);
        } catch (...) {
            detail::logUnreported(QStringLiteral("compressing ") + markerPath + QStringLiteral(" failed: ")
                                  + detail::currentExceptionText());
        }
        finishMarker(markerPath, done);
        --m_pending;
    });
}

int ToolkitEncodeQueue::resume(const QString &folder)
{
    const QStringList names = QDir(folder).entryList({QStringLiteral("*.encode")}, QDir::Files, QDir::Name);
    int queued = 0;
    for (const QString &name : names) {
        enqueue(folder + QLatin1Char('/') + name);
        ++queued;
    }
    // Temporary files a killed process left (compressions under way, images
    // written before their handler ran): nothing anyone was told is stored.
    detail::removeLeftoverTemporaryFiles(folder);
    // Markers set aside by the process before: made anew when needed.
    for (const QString &name : QDir(folder).entryList({QStringLiteral("*") + QLatin1String(kSpareSuffix)}, QDir::Files))
        QFile::remove(folder + QLatin1Char('/') + name);
    return queued;
}

void ToolkitEncodeQueue::stopForExit()
{
    m_pool->clear();
    m_pool->waitForDone();
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

bool ToolkitEncodeQueue::encode(const QString &markerPath)
{
    QFile marker(markerPath);
    if (!marker.open(QIODevice::ReadOnly))
        return false; // gone (removed with its folder, say): nothing to do
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
            outcome = detail::writeDicomFile(file, arrived, path, target, {}, &identity, nullptr, {},
                                             QFileInfo(markerPath).absolutePath());
        if (!outcome.ok && !outcome.superseded) {
            detail::logUnreported(QStringLiteral("compressing ") + path + QStringLiteral(": ") + outcome.error);
            return false; // the marker stays: the next start tries again
        }
        if (outcome.ok && outcome.bytes > 0) // flushed before its rename
            detail::WrittenFileWindow::received().add(path, outcome.bytes);
    }
    return true;
}

} // namespace pacs::toolkit

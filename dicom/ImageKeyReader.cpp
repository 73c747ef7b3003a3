#include "dicom/ImageKeyReader.h"

#include "core/ActivityLog.h"
#include "core/ServerOptions.h"
#include "db/ArchiveConnection.h"
#include "db/SqlText.h"
#include "dicom/SqlLiterals.h"
#include "dicom/toolkit/ToolkitDataset.h"

#include <QFileInfo>
#include <QStringList>
#include <QTimer>

namespace pacs {

namespace {

QString quoted(const QString &text)
{
    return QLatin1Char('\'') + db::Quote(text) + QLatin1Char('\'');
}

// The number of an IS or US element, "" when the file has none.
QString numberText(const toolkit::ToolkitDataset &dataset, int group, int element)
{
    const QVariant value = dataset.findAttribute(group, element).attributeValue();
    if (!value.isValid() || value.isNull() || valueText(value).trimmed().isEmpty())
        return QString();
    return leadingNumber(value);
}

} // namespace

ImageKeyReader::ImageKeyReader(db::ArchiveConnection &connection, ActivityLog &log, ServerOptions &options, QObject *parent)
    : QObject(parent), m_connection(connection), m_log(log), m_options(options)
{
    m_pool.setMaxThreadCount(1);
}

ImageKeyReader::~ImageKeyReader()
{
    // A batch being read posts to this object; let it end first.
    m_pool.waitForDone();
}

ImageKeyReader::FileKeys ImageKeyReader::readFile(const QString &instanceUid, const QString &path)
{
    FileKeys keys;
    keys.instanceUid = instanceUid;
    keys.path = path;
    if (path.isEmpty() || !QFileInfo(path).isFile()) {
        keys.outcome = FileKeys::Outcome::Missing;
        return keys;
    }
    QString error;
    const toolkit::ToolkitDataset dataset = toolkit::ToolkitDataset::readFileElements(path, &error);
    keys.sopClassUid = dataset.findAttribute(0x0008, 0x0016).attributeText().trimmed();
    if (keys.sopClassUid.isEmpty()) {
        keys.outcome = FileKeys::Outcome::Unreadable;
        keys.error = error.isEmpty() ? QStringLiteral("no SOP Class UID") : error;
        return keys;
    }
    keys.numberOfFrames = numberText(dataset, 0x0028, 0x0008);
    keys.rows = numberText(dataset, 0x0028, 0x0010);
    keys.columns = numberText(dataset, 0x0028, 0x0011);
    keys.seriesUid = dataset.datasetSeriesUid().trimmed();
    const QVariant seriesDate = dataset.findAttribute(0x0008, 0x0021).attributeValue();
    if (seriesDate.typeId() == QMetaType::QDate)
        keys.seriesDate = db::DateText(seriesDate.toDate());
    keys.bodyPart = dataset.findAttribute(0x0018, 0x0015).attributeText().trimmed();
    return keys;
}

void ImageKeyReader::start()
{
    if (m_running)
        return;
    // An archive whose upgrade was declined has no list: nothing to do.
    QString error;
    if (!m_connection.executeQuiet(QStringLiteral("SELECT InstanceUID FROM ImageKeysToRead WHERE 1=0"), error))
        return;
    bool failed = false;
    db::ResultSet rows = m_connection.ExecuteOnce(QStringLiteral("SELECT count(*) FROM ImageKeysToRead"), failed);
    const qint64 waiting = rows.isNone() || rows.atEnd() ? 0 : rows.field(0).toInteger();
    rows.close();
    if (waiting == 0)
        return;
    m_running = true;
    m_read = 0;
    m_failed = 0;
    m_seriesDone.clear();
    m_log.WriteLog(QStringLiteral("Reading the image keys of %1 archived images from their files.").arg(waiting));
    QTimer::singleShot(0, this, &ImageKeyReader::nextBatch);
}

void ImageKeyReader::stop(const QString &line)
{
    m_running = false;
    m_log.WriteLog(line);
    emit finished();
}

void ImageKeyReader::nextBatch()
{
    bool failed = false;
    db::ResultSet rows = m_connection.ExecuteOnce(
        QStringLiteral("SELECT TOP %1 q.InstanceUID AS InstanceUID, i.InstanceUID AS ImageUID, i.Filename AS Filename "
                       "FROM ImageKeysToRead q "
                       "LEFT JOIN ImageTable i ON i.InstanceUID = q.InstanceUID")
            .arg(BatchSize),
        failed);
    if (rows.isNone()) {
        stop(QStringLiteral("Image keys: the list of images to read could not be read; the rest follows at the next start."));
        return;
    }
    struct Listed
    {
        QString uid;
        QString path;
        bool gone = false; // the image was deleted since it was listed
    };
    std::vector<Listed> files;
    for (; !rows.atEnd(); rows.moveNext()) {
        const QString stored = rows.text(QStringLiteral("Filename")).trimmed();
        files.push_back({rows.text(QStringLiteral("InstanceUID")),
                         stored.isEmpty() ? QString() : db::OnServerDrive(stored, m_options.storageRoot()),
                         rows.field(QStringLiteral("ImageUID")).isNull()});
    }
    rows.close();
    if (files.empty()) {
        stop(QStringLiteral("Image keys read from the files of %1 images, %2 files missing or unreadable.")
                 .arg(m_read)
                 .arg(m_failed));
        return;
    }
    // The files are read off the main thread; the rows are written back on
    // it. The destructor waits for the reader, so `this` outlives it.
    m_pool.start([this, files] {
        std::vector<FileKeys> batch;
        batch.reserve(files.size());
        for (const Listed &file : files) {
            if (file.gone) {
                FileKeys keys;
                keys.instanceUid = file.uid;
                keys.outcome = FileKeys::Outcome::Gone;
                batch.push_back(keys);
            } else {
                batch.push_back(readFile(file.uid, file.path));
            }
        }
        QMetaObject::invokeMethod(this, [this, batch] { storeBatch(batch); }, Qt::QueuedConnection);
    });
}

void ImageKeyReader::storeBatch(const std::vector<FileKeys> &batch)
{
    QStringList all;
    QStringList read;
    QString sopClass, frames, rows, columns;
    for (const FileKeys &keys : batch) {
        const QString uid = quoted(keys.instanceUid);
        all << uid;
        if (keys.outcome == FileKeys::Outcome::Gone)
            continue;
        if (keys.outcome != FileKeys::Outcome::Read) {
            ++m_failed;
            m_log.WriteLog((keys.outcome == FileKeys::Outcome::Missing ? QStringLiteral("Stored file missing")
                                                                       : QStringLiteral("Stored file not readable (") + keys.error
                                                                             + QLatin1Char(')'))
                           + QStringLiteral(", image keys left empty: ") + keys.instanceUid + QLatin1Char(' ') + keys.path);
            continue;
        }
        ++m_read;
        read << uid;
        auto number = [](const QString &n) { return n.isEmpty() ? QStringLiteral("NULL") : n; };
        sopClass += QStringLiteral(" WHEN ") + uid + QStringLiteral(" THEN ") + quoted(keys.sopClassUid);
        frames += QStringLiteral(" WHEN ") + uid + QStringLiteral(" THEN ") + number(keys.numberOfFrames);
        rows += QStringLiteral(" WHEN ") + uid + QStringLiteral(" THEN ") + number(keys.rows);
        columns += QStringLiteral(" WHEN ") + uid + QStringLiteral(" THEN ") + number(keys.columns);
    }

    QString error;
    // One statement for the whole batch: one commit instead of a hundred.
    if (!read.isEmpty()) {
        const QString update = QStringLiteral("UPDATE ImageTable SET SOPClassUID = CASE InstanceUID") + sopClass
                               + QStringLiteral(" END, NumberOfFrames = CASE InstanceUID") + frames
                               + QStringLiteral(" END, ImageRows = CASE InstanceUID") + rows
                               + QStringLiteral(" END, ImageColumns = CASE InstanceUID") + columns
                               + QStringLiteral(" END WHERE InstanceUID IN (") + read.join(QLatin1Char(',')) + QLatin1Char(')');
        if (!m_connection.executeQuiet(update, error)) {
            stop(QStringLiteral("Image keys could not be stored: ") + error);
            return;
        }
    }
    // A series takes its date and body part from the first of its images read.
    for (const FileKeys &keys : batch) {
        if (keys.outcome != FileKeys::Outcome::Read || keys.seriesUid.isEmpty() || m_seriesDone.contains(keys.seriesUid))
            continue;
        m_seriesDone.insert(keys.seriesUid);
        QStringList set;
        if (!keys.seriesDate.isEmpty())
            set << QStringLiteral("SeriesDate = COALESCE(SeriesDate, convert(datetime,") + quoted(keys.seriesDate)
                       + QStringLiteral(",101))");
        if (!keys.bodyPart.isEmpty())
            set << QStringLiteral("BodyPartExamined = COALESCE(BodyPartExamined, ") + quoted(keys.bodyPart) + QLatin1Char(')');
        if (set.isEmpty())
            continue;
        if (!m_connection.executeQuiet(QStringLiteral("UPDATE SeriesTable SET ") + set.join(QStringLiteral(", "))
                                           + QStringLiteral(" WHERE SeriesUID=") + quoted(keys.seriesUid),
                                       error))
            m_log.WriteLog(QStringLiteral("Series keys could not be stored for ") + keys.seriesUid + QStringLiteral(": ") + error);
    }
    if (!m_connection.executeQuiet(QStringLiteral("DELETE FROM ImageKeysToRead WHERE InstanceUID IN (")
                                       + all.join(QLatin1Char(',')) + QLatin1Char(')'),
                                   error)) {
        stop(QStringLiteral("Image keys: the list of images to read could not be updated: ") + error);
        return;
    }
    QTimer::singleShot(0, this, &ImageKeyReader::nextBatch);
}

} // namespace pacs

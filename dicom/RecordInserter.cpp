#include "dicom/RecordInserter.h"

#include "core/ActivityLog.h"
#include "core/ServerOptions.h"
#include "db/ArchiveConnection.h"
#include "db/CommitsFlushedByCaller.h"
#include "db/SqlText.h"
#include "db/TsqlTranslator.h"
#include "dicom/ImagePath.h"
#include "dicom/PersonName.h"
#include "dicom/SqlLiterals.h"
#include "dicom/toolkit/ToolkitConnection.h"
#include "dicom/toolkit/ToolkitEncodeQueue.h"
#include "dicom/toolkit/ToolkitImage.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>


namespace pacs {

using toolkit::ToolkitConnection;
using toolkit::ToolkitImage;

namespace {

QVariant element(const ToolkitImage &image, int group, int elementNumber)
{
    return image.attributeSet().findAttribute(group, elementNumber).attributeValue();
}

// Row editing: assigns a field when its value differs; true when it did.
bool assign(db::UpdatableRow &row, const QString &column, const db::DbValue &value)
{
    const qsizetype i = row.columns.indexOf(column);
    if (i < 0)
        return false;
    const db::DbValue &old = row.values[i];
    const bool same = (old.isNull() && value.isNull()) || (old.isDateTime() && value.isDateTime() && old == value)
                      || (!old.isDateTime() && !value.isDateTime() && old.toText() == value.toText() && !old.isNull() && !value.isNull());
    if (same)
        return false;
    row.values[i] = value;
    row.changed[i] = true;
    return true;
}

db::DbValue textValue(const QString &text)
{
    return db::DbValue::fromText(text);
}

db::DbValue dateValue(const QVariant &value)
{
    if (value.typeId() == QMetaType::QDate)
        return db::DbValue::fromDateTime(QDateTime(value.toDate(), QTime(0, 0)));
    const QString iso = db::TsqlTranslator::isoDateTime(valueText(value));
    return iso.isEmpty() ? db::DbValue() : db::DbValue::fromDateTime(db::DbValue::fromIsoText(iso));
}

// A count or size for an int column: its number, NULL when the image has none.
QString numberLiteral(const QVariant &value)
{
    if (!value.isValid() || value.isNull() || valueText(value).trimmed().isEmpty())
        return QStringLiteral("NULL");
    return leadingNumber(value);
}

db::DbValue numberValue(const QVariant &value)
{
    if (!value.isValid() || value.isNull() || valueText(value).trimmed().isEmpty())
        return db::DbValue();
    return db::DbValue::fromInteger(leadingNumber(value).toLongLong());
}

// "'text'" without its quotes and with apostrophes single again.
QString literalText(const QString &literal)
{
    QString text = literal.mid(1, literal.size() - 2);
    return text.replace(QLatin1String("''"), QLatin1String("'"));
}

} // namespace

RecordInserter::RecordInserter(db::ArchiveConnection &connection, ActivityLog &log, ServerOptions &options,
                               std::function<bool()> updateImageData)
    : m_connection(connection), m_log(log), m_options(options), m_updateImageData(std::move(updateImageData))
{
}

// A failed insert is written to the activity log with its statement.
bool RecordInserter::runInsert(const QString &statement)
{
    bool failed = false;
    m_connection.ExecuteSQL(statement, failed);
    if (failed)
        m_log.WriteLog(statement);
    return !failed;
}

// Associations sending the same study at once interleave their handlers
// (they yield to the event loop between the lookup and the insert), so the
// row another one inserted meanwhile is taken as found.
bool RecordInserter::insertIfAbsent(const QString &table, const QString &keyColumn, const QString &keyLiteral,
                                    const QString &statement)
{
    return runInsert(QStringLiteral("IF NOT EXISTS (SELECT ") + keyColumn + QStringLiteral(" FROM ") + table
                     + QStringLiteral(" WHERE ") + keyColumn + QLatin1Char('=') + keyLiteral + QStringLiteral(") BEGIN ")
                     + statement + QStringLiteral(" END "));
}

bool RecordInserter::saveIfChanged(db::UpdatableRow &row, bool changed)
{
    if (!changed)
        return true;
    m_log.WriteLog(QStringLiteral("Data Updated"));
    return m_connection.saveRow(row);
}

void RecordInserter::trace(const QString &text)
{
    if (m_options.traceMode())
        m_log.WriteLog(text);
}

// A date for convert(datetime, x, 101): the image's text when it reads as a
// date, NULL otherwise. An absent or empty date is NULL too: '' would be
// converted to the base date 1/1/1900, a date the image never had. One bad
// value cannot cost the image.
QString RecordInserter::dateLiteral(const QVariant &value, const QString &what)
{
    const QString literal = SqlText(value);
    if (literal == QLatin1String("''"))
        return QStringLiteral("NULL");
    if (value.typeId() == QMetaType::QDate || !db::TsqlTranslator::isoDateTime(valueText(value)).isEmpty())
        return literal;
    m_log.WriteLog(what + QStringLiteral(" not readable, stored as NULL: ") + valueText(value));
    return QStringLiteral("NULL");
}

bool RecordInserter::InsertPatient(const ToolkitImage &image)
{
    const QString id = SqlText(element(image, 0x10, 0x20));
    if (id == QLatin1String("''") || id.isEmpty()) {
        m_log.WriteLog(QStringLiteral("No Patient ID"));
        return false;
    }
    const PersonNameParts name = SplitPersonName(element(image, 0x10, 0x10), &m_log);
    bool unreadable = false;
    const QVariant birth = element(image, 0x10, 0x30);
    const QString dob = SqlDate(birth, &unreadable);
    if (unreadable)
        m_log.WriteLog(QStringLiteral("Birth date not readable, stored as NULL: ") + valueText(birth));

    db::UpdatableRow row;
    m_lastStatement = QStringLiteral("SELECT * FROM PATIENTTABLE WHERE PATIENTID=") + id + QStringLiteral(" ");
    if (!m_connection.openForUpdate(m_lastStatement, row))
        return false;
    if (!row.found) {
        m_lastStatement = QStringLiteral("INSERT into PATIENTTABLE ") + QStringLiteral("(") + QStringLiteral("PatientID,")
                          + QStringLiteral("Name_First,") + QStringLiteral("Name_Middle,") + QStringLiteral("Name_Last,")
                          + QStringLiteral("Name_Title,") + QStringLiteral("DateOfBirth,") + QStringLiteral("Sex")
                          + QStringLiteral(") VALUES (") + id + QLatin1Char(',') + SqlText(name.first) + QLatin1Char(',')
                          + SqlText(name.middle) + QLatin1Char(',') + SqlText(name.last) + QLatin1Char(',')
                          + SqlText(name.title) + QLatin1Char(',') + QStringLiteral(" convert(datetime,") + dob
                          + QStringLiteral(",101),") + SqlText(element(image, 0x10, 0x40)) + QStringLiteral(") ");
        return insertIfAbsent(QStringLiteral("PATIENTTABLE"), QStringLiteral("PatientID"), id, m_lastStatement);
    }
    if (m_updateImageData()) {
        bool changed = assign(row, QStringLiteral("Name_First"), textValue(name.first));
        changed |= assign(row, QStringLiteral("Name_Middle"), textValue(name.middle));
        changed |= assign(row, QStringLiteral("Name_Last"), textValue(name.last));
        if (!unreadable)
            changed |= assign(row, QStringLiteral("DateOfBirth"), dateValue(birth));
        changed |= assign(row, QStringLiteral("Sex"), textValue(valueText(element(image, 0x10, 0x40))));
        return saveIfChanged(row, changed);
    }
    return true;
}

bool RecordInserter::InsertStudy(const ToolkitImage &image)
{
    QString desc = SqlText(element(image, 0x08, 0x1030));
    if (desc == QLatin1String("''")) {
        const QString bodyPart = SqlText(element(image, 0x18, 0x15));
        const QString codeMeaning = SqlText(element(image, 0x08, 0x104));
        const QString protocol = SqlText(element(image, 0x18, 0x1030));
        if (bodyPart != QLatin1String("''")) {
            desc = bodyPart;
            m_log.WriteLog(QStringLiteral("No Study Description, using: Body Part Examined"));
        } else if (codeMeaning != QLatin1String("''")) {
            desc = codeMeaning;
            m_log.WriteLog(QStringLiteral("Study Description using: Code Meaning"));
        } else if (protocol != QLatin1String("''")) {
            desc = protocol;
            m_log.WriteLog(QStringLiteral("Study Description using: ' Protocol Name"));
        } else {
            m_log.ReportError(QStringLiteral("No Study Description. ") + image.patientName(), true);
        }
    }

    const QString studyUid = valueText(element(image, 0x20, 0x0D));
    db::UpdatableRow row;
    m_lastStatement = QStringLiteral("SELECT * FROM STUDYTABLE WHERE STUDYUID='") + db::Quote(studyUid) + QStringLiteral("' ");
    if (!m_connection.openForUpdate(m_lastStatement, row))
        return false;
    if (!row.found) {
        const PersonNameParts doctor = SplitPersonName(element(image, 0x08, 0x90), &m_log);
        QString sql = QStringLiteral("INSERT into STUDYTABLE ") + QStringLiteral("(") + QStringLiteral("StudyUID,")
                      + QStringLiteral("PatientID_FKey,") + QStringLiteral("StudyDate,") + QStringLiteral("StudyTime,")
                      + QStringLiteral("AccessionNumber,") + QStringLiteral("StudyID,")
                      + QStringLiteral("ReferringPhysician_first,") + QStringLiteral("ReferringPhysician_middle,")
                      + QStringLiteral("ReferringPhysician_last,") + QStringLiteral("ReferringPhysician_title,")
                      + QStringLiteral("StudyDescription,BodyPartExamined,ProtocolName,InstitutionName")
                      + QStringLiteral(") VALUES (");
        sql += SqlText(element(image, 0x20, 0x0D)) + QLatin1Char(',');
        sql += SqlText(element(image, 0x10, 0x20)) + QLatin1Char(',');
        sql += QStringLiteral("convert(datetime,") + dateLiteral(element(image, 0x08, 0x20), QStringLiteral("Study Date"))
               + QStringLiteral(",101),");
        const QVariant time = element(image, 0x08, 0x30);
        if (!time.isValid() || time.isNull()) {
            // Still reported, but stored as no time: a made-up 12:00:00 would
            // be answered as if the image had it.
            sql += QStringLiteral("NULL,");
            m_log.ReportError(QStringLiteral("No Study Time. ") + image.patientName(), true);
        } else {
            bool unreadable = false;
            sql += QStringLiteral("convert(datetime,") + SqlTime(time, &unreadable) + QStringLiteral(",8),");
            if (unreadable)
                m_log.WriteLog(QStringLiteral("Study Time not readable, stored as NULL: ") + valueText(time));
        }
        sql += SqlText(element(image, 0x08, 0x50)) + QLatin1Char(',');
        sql += SqlText(element(image, 0x20, 0x10)) + QLatin1Char(',');
        sql += SqlText(doctor.first) + QLatin1Char(',') + SqlText(doctor.middle) + QLatin1Char(',') + SqlText(doctor.last)
               + QLatin1Char(',') + SqlText(doctor.title) + QLatin1Char(',');
        sql += desc + QLatin1Char(',');
        sql += SqlText(element(image, 0x18, 0x15)) + QLatin1Char(',');
        sql += SqlText(element(image, 0x18, 0x1030)) + QStringLiteral(", ");
        sql += SqlText(element(image, 0x08, 0x80)) + QStringLiteral(") ");
        m_lastStatement = sql;
        trace(QStringLiteral("InsertStudy: ") + sql);
        return insertIfAbsent(QStringLiteral("STUDYTABLE"), QStringLiteral("StudyUID"),
                              QLatin1Char('\'') + db::Quote(studyUid) + QLatin1Char('\''), sql);
    }
    trace(QStringLiteral("study exists: ") + studyUid);
    if (m_updateImageData()) {
        bool changed = assign(row, QStringLiteral("PatientID_FKey"), textValue(valueText(element(image, 0x10, 0x20))));
        changed |= assign(row, QStringLiteral("AccessionNumber"), textValue(valueText(element(image, 0x08, 0x50))));
        changed |= assign(row, QStringLiteral("StudyID"), textValue(valueText(element(image, 0x20, 0x10))));
        changed |= assign(row, QStringLiteral("StudyDescription"), textValue(literalText(desc)));
        changed |= assign(row, QStringLiteral("BodyPartExamined"), textValue(valueText(element(image, 0x18, 0x15))));
        return saveIfChanged(row, changed);
    }
    return true;
}

bool RecordInserter::InsertSeries(const ToolkitImage &image)
{
    const QString uid = SqlText(element(image, 0x20, 0x0E));
    if (uid == QLatin1String("''") || uid.isEmpty()) {
        m_log.ReportError(QStringLiteral("No SeriesUID"), false);
        return false;
    }
    QString number;
    const QVariant seriesNumber = element(image, 0x20, 0x11);
    if (valueText(seriesNumber).trimmed().isEmpty()) { // absent or present without a value
        m_log.ReportError(QStringLiteral("No Series Number"), false);
        number = QStringLiteral("0");
    } else {
        number = leadingNumber(seriesNumber);
    }
    m_lastStatement = QStringLiteral("SELECT * FROM SeriesTABLE WHERE SeriesUID= ") + uid + QStringLiteral(" ");
    bool failed = false;
    db::ResultSet rows = m_connection.ExecuteSQL(m_lastStatement, failed);
    if (rows.isNone())
        return false;
    const bool exists = !rows.atEnd();
    rows.close();
    if (exists)
        return true; // an existing series row is never changed here
    // Series Date and Body Part Examined answer series-level queries; an
    // image without them leaves the columns NULL.
    const QVariant seriesDate = element(image, 0x08, 0x21);
    const QString seriesDateSql = valueText(seriesDate).trimmed().isEmpty()
                                      ? QStringLiteral("NULL")
                                      : QStringLiteral("convert(datetime,") + dateLiteral(seriesDate, QStringLiteral("Series Date"))
                                            + QStringLiteral(",101)");
    const QString bodyPart = SqlText(element(image, 0x18, 0x15));
    m_lastStatement = QStringLiteral("INSERT into SeriesTABLE ") + QStringLiteral("(") + QStringLiteral("SeriesUID,")
                      + QStringLiteral("StudyUID_FKey,") + QStringLiteral("Modality,") + QStringLiteral("SeriesNumber,")
                      + QStringLiteral("SeriesDescription") + QStringLiteral(",SeriesDate,BodyPartExamined")
                      + QStringLiteral(") VALUES (") + uid + QLatin1Char(',')
                      + SqlText(element(image, 0x20, 0x0D)) + QLatin1Char(',') + SqlText(element(image, 0x08, 0x60))
                      + QLatin1Char(',') + SqlText(number) + QLatin1Char(',') + SqlText(element(image, 0x08, 0x103E))
                      + QLatin1Char(',') + seriesDateSql + QLatin1Char(',')
                      + (bodyPart == QLatin1String("''") ? QStringLiteral("NULL") : bodyPart) + QStringLiteral(") ");
    trace(QStringLiteral("InsertStudy: ") + m_lastStatement);
    return insertIfAbsent(QStringLiteral("SeriesTABLE"), QStringLiteral("SeriesUID"), uid, m_lastStatement);
}

bool RecordInserter::storedFileReadable(const QString &uid)
{
    bool failed = false;
    db::ResultSet rows = m_connection.ExecuteSQL(
        QStringLiteral("SELECT Filename FROM ImageTABLE WHERE InstanceUID='") + db::Quote(uid) + QLatin1Char('\''), failed);
    if (rows.isNone() || rows.atEnd())
        return false;
    const QString stored = db::OnServerDrive(rows.text(0), m_options.storageRoot());
    rows.close();
    return isReadableDicomFile(stored);
}

bool RecordInserter::InsertImage(ToolkitImage &image, ToolkitConnection &connection)
{
    const QString uid = image.instanceUid();
    ImagePathParts parts;
    parts.storageRoot = m_options.storageRoot();
    parts.byInstitution = m_options.storeByInstitution() == 1;
    parts.institution = valueText(element(image, 0x08, 0x80));
    parts.studyDate = element(image, 0x08, 0x20);
    parts.modality = valueText(element(image, 0x08, 0x60));
    parts.patientId = image.patientId();
    parts.instanceUid = uid;
    const QString path = imagePath(parts);

    bool storedAgain = false;
    if (m_options.disregardDuplicates() == 1) {
        m_lastStatement = QStringLiteral("SELECT count(*) as count FROM ImageTABLE WHERE InstanceUID='") + db::Quote(uid)
                          + QStringLiteral("'");
        bool failed = false;
        db::ResultSet rows = m_connection.ExecuteSQL(m_lastStatement, failed);
        if (rows.isNone())
            return false;
        const qint64 count = rows.atEnd() ? 0 : rows.field(QStringLiteral("count")).toInteger();
        rows.close();
        if (count != 0) {
            // A row whose file is gone (the server stopped between row and
            // file) is no duplicate: the resent image is stored again.
            if (storedFileReadable(uid)) {
                m_log.WriteLog(QStringLiteral("Duplicate received for ") + uid);
                connection.setStatus(0);
                return true;
            }
            m_log.WriteLog(QStringLiteral("Duplicate received for ") + uid + QStringLiteral(", its stored file is missing: storing it again"));
            storedAgain = true;
        }
    }

    const QString uidLiteral = SqlText(uid);
    if (uidLiteral == QLatin1String("''") || uidLiteral.isEmpty()) {
        m_log.ReportError(QStringLiteral("No InstanceUID"), false);
        return false;
    }
    QString number;
    const QVariant instanceNumber = element(image, 0x20, 0x13);
    if (valueText(instanceNumber).trimmed().isEmpty()) { // absent or present without a value
        number = QStringLiteral("''");
        m_log.WriteLog(QStringLiteral("No image number"));
    } else {
        number = SqlText(leadingNumber(instanceNumber));
    }

    // What a viewer needs to tell images, reports and presentation states
    // apart and to lay them out, answered at image level.
    const QVariant sopClass = element(image, 0x08, 0x16);
    const QVariant frames = element(image, 0x28, 0x08);
    const QVariant rows = element(image, 0x28, 0x10);
    const QVariant columns = element(image, 0x28, 0x11);
    const QString sopClassLiteral = SqlText(sopClass);
    const QString imageKeys = (sopClassLiteral == QLatin1String("''") ? QStringLiteral("NULL") : sopClassLiteral)
                              + QLatin1Char(',') + numberLiteral(frames) + QLatin1Char(',') + numberLiteral(rows)
                              + QLatin1Char(',') + numberLiteral(columns);

    if (!m_updateImageData()) {
        QString sql = QStringLiteral("IF NOT EXISTS (SELECT InstanceUID FROM ImageTABLE WHERE InstanceUID=") + uidLiteral
                      + QStringLiteral(") BEGIN ") + QStringLiteral("INSERT into ImageTABLE ") + QStringLiteral("(")
                      + QStringLiteral("InstanceUID,") + QStringLiteral("SeriesUID_FKey,") + QStringLiteral("InstanceNumber,")
                      + QStringLiteral("Filename") + QStringLiteral(",SOPClassUID,NumberOfFrames,ImageRows,ImageColumns")
                      + QStringLiteral(") VALUES (") + uidLiteral + QLatin1Char(',')
                      + SqlText(element(image, 0x20, 0x0E)) + QLatin1Char(',') + number + QLatin1Char(',')
                      + QLatin1Char('\'') + db::Quote(path) + QLatin1Char('\'') + QLatin1Char(',') + imageKeys
                      + QStringLiteral(") END ");
        if (storedAgain) // the existing row is pointed at the file written now
            sql = QStringLiteral("UPDATE ImageTABLE SET Filename='") + db::Quote(path) + QStringLiteral("' WHERE InstanceUID=")
                  + uidLiteral;
        m_lastStatement = sql;
        connection.setUserTag(uid + QLatin1Char('|') + sql);
        // Noted before the row: a process killed at any moment after the row leaves the note.
        m_pending.begin(&connection, m_options.storageRoot(), uid);
        startFileWrite(image, connection, path);
        if (m_options.saveDbBeforeImage() == 1) {
            // The row is flushed together with the file, before the sender hears "stored".
            const db::CommitsFlushedByCaller flushedWithFile(m_connection);
            if (!runInsert(sql))
                return false; // the refusal withdraws the file; its completion ends the note
        }
        return true;
    }

    db::UpdatableRow row;
    m_lastStatement = QStringLiteral("SELECT * FROM ImageTABLE WHERE InstanceUID=") + uidLiteral + QStringLiteral(" ");
    if (!m_connection.openForUpdate(m_lastStatement, row))
        return false;
    if (!row.found)
        row.isNew = true;
    assign(row, QStringLiteral("InstanceUID"), textValue(uid));
    assign(row, QStringLiteral("SeriesUID_FKey"), textValue(valueText(element(image, 0x20, 0x0E))));
    assign(row, QStringLiteral("InstanceNumber"), db::DbValue::fromReal(leadingNumber(instanceNumber).toDouble()));
    assign(row, QStringLiteral("Filename"), textValue(path));
    const QString sopClassText = valueText(sopClass).trimmed();
    assign(row, QStringLiteral("SOPClassUID"), sopClassText.isEmpty() ? db::DbValue() : textValue(sopClassText));
    assign(row, QStringLiteral("NumberOfFrames"), numberValue(frames));
    assign(row, QStringLiteral("ImageRows"), numberValue(rows));
    assign(row, QStringLiteral("ImageColumns"), numberValue(columns));
    // The row is written here; the completion only has the UID to go on.
    connection.setUserTag(uid);
    m_pending.begin(&connection, m_options.storageRoot(), uid);
    startFileWrite(image, connection, path);
    {
        const db::CommitsFlushedByCaller flushedWithFile(m_connection);
        if (!m_connection.saveRow(row))
            return false; // the refusal withdraws the file; its completion ends the note
    }
    return true;
}

// The file is written while the handler goes on to the image's row; the
// toolkit puts it in place, and completes the save, only once the handler has
// returned, so the file never appears before its row, and an image refused
// because its row could not be written leaves no file behind.
void RecordInserter::startFileWrite(ToolkitImage &image, ToolkitConnection &connection, const QString &path)
{
    db::MakeDirs(path);
    // The sender hears "stored" once the file is durable as received, with
    // the row's log flushed in the same sync; the compression follows in the
    // background.
    toolkit::ToolkitEncodeQueue::instance().setFolder(encodeQueueFolder(m_options.storageRoot()));
    connection.setDurableWithSave(m_connection.commitFlushFiles());
    connection.saveImageAsync(image, path, true, QStringLiteral("1.2.840.10008.1.2.4.57"));
    m_log.WriteLog(QStringLiteral("Image saved for ") + image.patientName() + QStringLiteral(" to ") + path);
}

} // namespace pacs

#include "browser/PatientStudyCorrections.h"

#include "browser/StudyInfoFields.h"
#include "core/ActivityLog.h"
#include "core/Prompter.h"
#include "db/ArchiveConnection.h"
#include "db/ArchiveTransaction.h"
#include "db/OracleDialect.h"
#include "db/SqlText.h"
#include "dicom/toolkit/ToolkitUtility.h"

#include <functional>

namespace pacs::browser {

namespace {

// The Oracle rewrite shows a statement with TOP in a message box: here that
// box is one of the command's messages. It asks nothing.
class MessagePrompter : public Prompter
{
public:
    explicit MessagePrompter(std::function<void(const QString &)> show) : m_show(std::move(show)) {}
    bool askYesNo(const QString &) override { return false; }
    void inform(const QString &text) override { m_show(text); }

private:
    std::function<void(const QString &)> m_show;
};

// The description of the last error line a statement produced: the error
// box line without its time stamp.
class ErrorCapture
{
public:
    explicit ErrorCapture(ActivityLog &log)
    {
        m_connection = QObject::connect(&log, &ActivityLog::errorLineAdded, [this](const QString &line) {
            const qsizetype stamp = line.indexOf(QLatin1String(" :  "));
            m_text = (stamp >= 0 ? line.mid(stamp + 4) : line).trimmed();
        });
    }
    ~ErrorCapture() { QObject::disconnect(m_connection); }
    QString text(const QString &fallback) const { return m_text.isEmpty() ? fallback : m_text; }

private:
    QMetaObject::Connection m_connection;
    QString m_text;
};

QString q(const QString &value)
{
    return db::Quote(value);
}

} // namespace

PatientStudyCorrections::PatientStudyCorrections(db::ArchiveConnection &connection, ActivityLog &log,
                                                 StudyInfoFields &fields, QObject *parent)
    : QObject(parent), m_connection(connection), m_log(log), m_fields(fields)
{
}

QString PatientStudyCorrections::show(const QString &text)
{
    emit message(text);
    return text;
}

db::ResultSet PatientStudyCorrections::direct(const QString &statement, QString *error)
{
    ErrorCapture capture(m_log);
    bool failed = false;
    db::ResultSet rows = m_connection.ExecuteOnce(statement, failed);
    if (failed || rows.isNone())
        *error = capture.text(QStringLiteral("The statement failed: ") + statement);
    return rows;
}

db::ResultSet PatientStudyCorrections::routine(const QString &statement, QString *error)
{
    ErrorCapture capture(m_log);
    bool failed = false;
    db::ResultSet rows = m_connection.ExecuteSQL(statement, failed);
    if (failed || rows.isNone())
        *error = capture.text(QStringLiteral("The statement failed: ") + statement);
    return rows;
}

bool PatientStudyCorrections::found(db::ResultSet rows, const QString &error, QString *failure)
{
    if (!error.isEmpty()) {
        *failure = error;
        return false;
    }
    const bool any = !rows.atEnd();
    if (!any && rows.endedWithError())
        *failure = rows.error();
    rows.close();
    return any;
}

bool PatientStudyCorrections::rowExists(const QString &statement, QString *failure)
{
    QString error;
    return found(direct(statement, &error), error, failure);
}

QString PatientStudyCorrections::updatePatientIdKeyPress(int keyCode)
{
    return keyCode == EnterKey ? lookUpPatient() : QString();
}

QString PatientStudyCorrections::updateStudyUidKeyPress(int keyCode)
{
    return keyCode == EnterKey ? lookUpStudy() : QString();
}

QString PatientStudyCorrections::lookUpPatient()
{
    PatientStudyForm &f = m_form;
    if (f.updatePatientId.isEmpty())
        return QString();
    MessagePrompter prompter([this](const QString &text) { show(text); });
    const QString statement = db::ToDialect(
        QStringLiteral("select * from  PatientTable  Where PatientID='") + q(f.updatePatientId) + QLatin1Char('\''),
        m_connection.driverMode(), m_log, prompter);
    QString error;
    db::ResultSet rows = direct(statement, &error);
    if (!error.isEmpty())
        return show(error);
    if (rows.atEnd()) {
        const QString failure = rows.endedWithError() ? rows.error() : QStringLiteral("Patient not found.");
        rows.close();
        return show(failure);
    }
    f.updateLastName = rows.text(QStringLiteral("name_last"));
    f.updateFirstName = rows.text(QStringLiteral("name_first"));
    f.updateMiddleName = rows.text(QStringLiteral("name_middle"));
    f.updateBirthDate = rows.text(QStringLiteral("dateofbirth"));
    f.updateSex = rows.text(QStringLiteral("sex"));
    rows.close();
    emit formChanged();
    return QString();
}

QString PatientStudyCorrections::cmdUpdatePatient()
{
    const PatientStudyForm &f = m_form;
    if (f.updatePatientId.isEmpty())
        return QString();
    QString error;
    QString failure;
    const bool exists = rowExists(QStringLiteral("select PatientID from  PatientTable  Where PatientID='") + q(f.updatePatientId)
                   + QLatin1Char('\''), &failure);
    if (!failure.isEmpty())
        return show(failure);
    if (!exists)
        return show(QStringLiteral("Patient not found."));
    direct(QStringLiteral("update  PatientTable set ") + QStringLiteral("  Name_First ='") + q(f.updateFirstName)
               + QStringLiteral("',") + QStringLiteral("  Name_Middle = '") + q(f.updateMiddleName) + QStringLiteral("',")
               + QStringLiteral("  Name_Last =  '") + q(f.updateLastName) + QStringLiteral("',")
               + QStringLiteral("  DateofBirth = '") + q(f.updateBirthDate) + QStringLiteral("',")
               + QStringLiteral("  Sex = '") + q(f.updateSex) + QStringLiteral("'") + QStringLiteral("   where PatientID = '")
               + q(f.updatePatientId) + QStringLiteral("' "),
           &error)
        .close();
    return show(error.isEmpty() ? QLatin1String(Done) : error);
}

QString PatientStudyCorrections::cmdNewPat()
{
    const PatientStudyForm &f = m_form;
    if (f.newPatientId.isEmpty())
        return QString();
    QString error;
    QString failure;
    const bool exists = rowExists(QStringLiteral("select PatientID from  PatientTable  Where PatientID='") + q(f.newPatientId)
                   + QLatin1Char('\''), &failure);
    if (!failure.isEmpty())
        return show(failure);
    if (exists)
        return show(QStringLiteral("Patient exists already."));
    const QStringList values = {f.newPatientId, f.first, f.middle, f.last, f.birthDate, f.sex};
    QString sql = QStringLiteral("insert into  PatientTable (PatientID,Name_First,Name_Middle,Name_Last,DateofBirth,Sex) VALUES ( ");
    for (qsizetype i = 0; i < values.size(); ++i) {
        sql += QStringLiteral("   '") + q(values[i]) + QLatin1Char('\'');
        if (i + 1 < values.size())
            sql += QLatin1Char(',');
    }
    sql += QLatin1Char(')');
    direct(sql, &error).close();
    return show(error.isEmpty() ? QLatin1String(Done) : error);
}

QString PatientStudyCorrections::cmdChangeID()
{
    const PatientStudyForm &f = m_form;
    if (f.changeOldId.isEmpty() || f.changeNewId.isEmpty())
        return QString();
    auto studiesOf = [](const QString &id) {
        return QStringLiteral("select StudyUID,PatientID_FKey,studydate from  StudyTable  Where PatientID_FKey='") + q(id)
               + QLatin1Char('\'');
    };
    QString error;
    db::ResultSet rows = direct(studiesOf(f.changeOldId), &error);
    if (!error.isEmpty())
        return show(error);
    // Every study of the old identifier follows it, not only the first.
    QStringList studies;
    for (; !rows.atEnd(); rows.moveNext())
        studies << rows.text(QStringLiteral("StudyUID"));
    const QString readError = rows.error();
    rows.close();
    if (!readError.isEmpty())
        return show(readError);
    if (studies.isEmpty())
        return show(QStringLiteral("Patient not Found"));
    const QString kept = studies.first();

    QString failure;
    const bool inUse = rowExists(studiesOf(f.changeNewId), &failure);
    if (!failure.isEmpty())
        return show(failure + QLatin1Char(' ') + kept);
    if (inUse)
        return show(QStringLiteral("PATIENT ID in use."));

    // The studies are detached while the patient's key changes, then attached
    // to the new key; all in one transaction, so a failed step leaves every
    // row as it was.
    QStringList statements;
    for (const QString &uid : studies)
        statements << QStringLiteral("update StudyTable set PatientID_FKey=null  Where StudyUID='") + q(uid)
                          + QLatin1Char('\'');
    statements << QStringLiteral("update PatientTable set PatientID='") + q(f.changeNewId)
                      + QStringLiteral("'  Where PatientID='") + q(f.changeOldId) + QLatin1Char('\'');
    for (const QString &uid : studies)
        statements << QStringLiteral("update StudyTable set PatientID_FKey='") + q(f.changeNewId)
                          + QStringLiteral("'  Where StudyUID='") + q(uid) + QLatin1Char('\'');

    ErrorCapture capture(m_log);
    db::ArchiveTransaction transaction(m_connection);
    if (!transaction.isOpen())
        return show(capture.text(QStringLiteral("Cannot begin a transaction.")) + QLatin1Char(' ') + kept);
    for (const QString &statement : statements) {
        direct(statement, &error).close();
        if (!error.isEmpty()) {
            transaction.rollback();
            return show(error + QLatin1Char(' ') + kept);
        }
    }
    if (!transaction.commit())
        return show(capture.text(QStringLiteral("Cannot commit the transaction.")) + QLatin1Char(' ') + kept);
    return show(QLatin1String(Done));
}

QString PatientStudyCorrections::lookUpStudy()
{
    const QString uid = m_fields.value(StudyInfoFields::UpdateStudyUid);
    if (uid.isEmpty())
        return QString();
    QString error;
    db::ResultSet rows = routine(QStringLiteral("select * from  StudyTable  Where StudyUID='") + q(uid) + QLatin1Char('\''),
                                 &error);
    if (!error.isEmpty())
        return show(error);
    if (rows.atEnd()) {
        const QString failure = rows.endedWithError() ? rows.error() : QStringLiteral("Study  not found.");
        rows.close();
        return show(failure);
    }
    PatientStudyForm &f = m_form;
    f.updateStudyPatientId = rows.text(QStringLiteral("PatientID_FKey"));
    f.updateStudyDate = rows.text(QStringLiteral("StudyDate"));
    // A time is stored on a day of its own; the box shows the time alone.
    const db::DbValue time = rows.field(QStringLiteral("StudyTime"));
    f.updateStudyTime = time.isDateTime() ? db::TimeText(time.toDateTime()) : time.toText();
    f.updateStudyAccessionNumber = rows.text(QStringLiteral("AccessionNumber"));
    f.updateStudyDesc = rows.text(QStringLiteral("StudyDescription"));
    rows.close();
    emit formChanged();
    return QString();
}

QString PatientStudyCorrections::cmdUpdateStudy2()
{
    const QString uid = m_fields.value(StudyInfoFields::UpdateStudyUid);
    if (uid.isEmpty())
        return QString();
    QString error;
    QString failure;
    const bool exists = found(
        routine(QStringLiteral("select StudyUID from StudyTable where StudyUID='") + q(uid) + QLatin1Char('\''), &error),
        error, &failure);
    if (!failure.isEmpty())
        return show(failure);
    if (!exists)
        return show(QStringLiteral("Study UID not Found"));
    const PatientStudyForm &f = m_form;
    routine(QStringLiteral("update StudyTable set patientID_Fkey = '") + q(f.updateStudyPatientId) + QStringLiteral("', ")
                + QStringLiteral(" StudyDate = '") + q(f.updateStudyDate) + QStringLiteral("', ")
                + QStringLiteral(" StudyTime = '") + q(f.updateStudyTime) + QStringLiteral("', ")
                + QStringLiteral(" AccessionNumber = '") + q(f.updateStudyAccessionNumber) + QStringLiteral("', ")
                + QStringLiteral(" StudyDescription = '") + q(f.updateStudyDesc) + QStringLiteral("' ")
                + QStringLiteral(" where StudyUID='") + q(uid) + QLatin1Char('\''),
            &error)
        .close();
    return show(error.isEmpty() ? QLatin1String(Done) : error);
}

QString PatientStudyCorrections::cmdUpdateStudy()
{
    const QString uid = m_fields.value(StudyInfoFields::StudyUid);
    if (uid.isEmpty())
        return QString();
    QString error;
    QString failure;
    const bool exists = rowExists(QStringLiteral("select StudyUID from StudyTable where StudyUID='") + q(uid) + QLatin1Char('\''), &failure);
    if (!failure.isEmpty())
        return show(failure);
    if (!exists)
        return show(QStringLiteral("Study UID not Found"));
    direct(QStringLiteral("update StudyTable set patientID_Fkey = '") + q(m_fields.value(StudyInfoFields::NewPatientIdForStudy))
               + QStringLiteral("' where StudyUID='") + q(uid) + QLatin1Char('\''),
           &error)
        .close();
    return show(error.isEmpty() ? QLatin1String(Done) : error);
}

void PatientStudyCorrections::cmdGenerateStudyUID()
{
    m_form.newStudyUid = toolkit::ToolkitUtility::newUid();
    emit formChanged();
}

QString PatientStudyCorrections::cmdCreateStudyUID()
{
    const PatientStudyForm &f = m_form;
    QString error;
    QString failure;
    const bool exists = found(
        routine(QStringLiteral("select StudyUID,PatientID_FKey,studydate from  StudyTable Where studyuid='") + q(f.newStudyUid)
                    + QLatin1Char('\''),
                &error),
        error, &failure);
    if (!failure.isEmpty())
        return show(failure);
    if (exists)
        return show(QStringLiteral("Already Exists"));
    routine(QStringLiteral("Insert Into StudyTable (StudyUID,PatientID_FKey,studydate,studytime,AccessionNumber)  VALUES ")
                + QStringLiteral("( '") + q(f.newStudyUid) + QStringLiteral("' ") + QStringLiteral(", '")
                + q(f.newStudyPatientId) + QStringLiteral("' ") + QStringLiteral(", '") + q(f.newStudyDate)
                + QStringLiteral("' ") + QStringLiteral(", '") + q(f.newStudyTime) + QStringLiteral("' ")
                + QStringLiteral(", '") + q(f.newStudyAccessionNum) + QStringLiteral("' ") + QStringLiteral(")  "),
            &error)
        .close();
    return show(error.isEmpty() ? QLatin1String(Done) : error);
}

} // namespace pacs::browser

#include "dicom/QueryService.h"

#include "core/ActivityLog.h"
#include "core/ServerOptions.h"
#include "db/ArchiveConnection.h"
#include "dicom/QueryWhere.h"
#include "dicom/RetrieveService.h"
#include "dicom/toolkit/ToolkitConnection.h"
#include "dicom/toolkit/ToolkitSequence.h"

#include <QCoreApplication>
#include <QStringList>

#include <algorithm>

namespace pacs {

using toolkit::ToolkitConnection;

namespace {
constexpr int kPending = 0xFF00;
constexpr int kSuccess = 0x0000;
constexpr int kIdentifierDoesNotMatch = 0xA900;
constexpr int kUnableToProcess = 0xC000;

const QStringList kLevelKeys = {QStringLiteral("PATIENT"), QStringLiteral("STUDYPATIENT"), QStringLiteral("STUDYSTUDY"),
                                QStringLiteral("SERIES"), QStringLiteral("IMAGE")};

bool isTrue(const db::DbValue &v)
{
    return !v.isNull() && v.toInteger() != 0;
}

// A stored name as a DICOM person name: the parts are kept SQL-ready
// (apostrophes doubled), an answer has them as the image had them, and
// without the empty trailing components.
QString answeredName(const QString &last, const QString &first, const QString &middle, const QString &title)
{
    QString name = last + QLatin1Char('^') + first + QLatin1Char('^') + middle + QLatin1Char('^') + title;
    name.replace(QLatin1String("''"), QLatin1String("'"));
    while (name.endsWith(QLatin1Char('^')))
        name.chop(1);
    return name;
}
} // namespace

QueryService::QueryService(db::ArchiveConnection &connection, ActivityLog &log, ServerOptions &options,
                           RetrieveService &retrieve)
    : m_connection(connection), m_log(log), m_options(options), m_retrieve(retrieve)
{
}

void QueryService::refuse(ToolkitConnection &connection, int status, const QString &comment)
{
    m_log.WriteLog(comment);
    connection.statusDataset().putAttribute(0x0000, 0x0902, comment);
    connection.setStatus(status);
}

bool QueryService::readMappings(const QString &levelKey, std::vector<Mapping> &mappings)
{
    bool failed = false;
    db::ResultSet rows = m_connection.ExecuteSQL(QStringLiteral("Select * from fields where ") + levelKey + QStringLiteral("=1"), failed);
    if (rows.isNone())
        return false;
    for (; !rows.atEnd(); rows.moveNext()) {
        Mapping m;
        m.group = int(rows.field(QStringLiteral("groupid")).toInteger());
        m.element = int(rows.field(QStringLiteral("elementid")).toInteger());
        m.fieldName = rows.text(QStringLiteral("FieldName")).trimmed();
        m.fieldSource = rows.text(QStringLiteral("fieldsource")).trimmed();
        m.fieldMatch = rows.text(QStringLiteral("FieldMatch")).trimmed();
        m.isName = isTrue(rows.field(QStringLiteral("isName")));
        m.isDate = isTrue(rows.field(QStringLiteral("IsDate")));
        m.forMatching = isTrue(rows.field(QStringLiteral("ForMatching")));
        mappings.push_back(m);
    }
    rows.close();
    return true;
}

void QueryService::addLevelAndRetrieveTitle(toolkit::ToolkitDataset &response, const QString &level) const
{
    response.putAttribute(0x0008, 0x0052, level);
    response.putAttribute(0x0008, 0x0054, m_options.aeName().trimmed());
}

std::vector<toolkit::ToolkitAttribute> QueryService::unansweredKeys(const toolkit::ToolkitDataset &identifier,
                                                                    const std::vector<Mapping> &mappings)
{
    std::vector<toolkit::ToolkitAttribute> keys;
    for (const toolkit::ToolkitAttribute &key : identifier.datasetAttributes().attributes()) {
        const int group = key.attributeGroup();
        const int element = key.attributeElement();
        // Group lengths are no keys; level, character set and retrieve
        // title are answered on their own.
        if (element == 0 || (group == 0x0008 && (element == 0x0052 || element == 0x0005 || element == 0x0054)))
            continue;
        const bool mapped = std::any_of(mappings.begin(), mappings.end(),
                                        [&](const Mapping &m) { return m.group == group && m.element == element; });
        if (!mapped)
            keys.push_back(key);
    }
    return keys;
}

void QueryService::addUnansweredKeys(toolkit::ToolkitDataset &response, const std::vector<toolkit::ToolkitAttribute> &keys)
{
    for (const toolkit::ToolkitAttribute &key : keys) {
        const int group = key.attributeGroup();
        const int element = key.attributeElement();
        if (group % 2 == 1 && element >= 0x10 && element <= 0xFF) // a private creator reserves its block: kept
            response.putAttribute(group, element, key.attributeValue());
        else if (key.attributeVr() == QLatin1String("SQ"))
            response.putAttribute(group, element, QVariant::fromValue(toolkit::ToolkitSequence()));
        else
            response.putAttribute(group, element, QVariant());
    }
}

void QueryService::Server_QueryRequest(ToolkitConnection &connection)
{
    m_log.WriteLog(QStringLiteral("Query Request."));
    const toolkit::ToolkitDataset identifier = connection.requestIdentifier();
    const QString level = identifier.findAttribute(0x08, 0x52).attributeText().trimmed();
    const QString root = connection.queryRoot();
    connection.setDefaultClassUid(QStringLiteral("1.2.840.10008.5.1.4.1.1.7"));
    QString levelKey = level;
    if (level == QLatin1String("STUDY"))
        levelKey += root;

    const QString command = connection.commandName();
    if (command == QLatin1String("C-GET") || command == QLatin1String("C-MOVE")) {
        m_retrieve.retrieveRequest(connection);
        return;
    }
    if (command != QLatin1String("C-FIND"))
        return;

    // The level names a column and a view: only the archive's own levels.
    if (!kLevelKeys.contains(levelKey)) {
        refuse(connection, kIdentifierDoesNotMatch, QStringLiteral("Unknown query level: ") + level);
        return;
    }
    std::vector<Mapping> mappings;
    if (!readMappings(levelKey, mappings)) {
        refuse(connection, kUnableToProcess, QStringLiteral("The query mapping could not be read."));
        return;
    }

    QString where;
    QStringList select;
    for (const Mapping &m : mappings) {
        const toolkit::ToolkitAttribute attribute = identifier.findAttribute(m.group, m.element);
        if (!attribute.attributeExists())
            continue;
        QVariant value = attribute.attributeValue();
        const QString vr = attribute.attributeVr();
        const bool text = value.typeId() == QMetaType::QString || value.typeId() == QMetaType::QVariantList;
        if (text && vr != QLatin1String("LT") && vr != QLatin1String("ST")
            && vr != QLatin1String("UT") && !QueryWhere::SplitMultiValue(value)) {
            refuse(connection, kUnableToProcess,
                   QStringLiteral("More than %1 values in the key %2").arg(QueryWhere::MaxValues).arg(attribute.attributeDescription()));
            return;
        }
        // A key present without a value asks for the value and restricts nothing.
        const bool emptyKey = value.typeId() == QMetaType::QString && value.toString().isEmpty();
        if (m.forMatching && value.isValid() && !value.isNull() && !emptyKey) {
            if (!m.fieldMatch.isEmpty())
                QueryWhere::AddExistsMatch(where, m.fieldMatch, value);
            else if (m.isName)
                QueryWhere::AddNameMatch(where, m.fieldSource, attribute);
            else if (m.isDate)
                QueryWhere::AddDateRangeMatch(where, m.fieldSource, attribute);
            else
                QueryWhere::AddLikeMatch(where, m.fieldSource, value);
        }
        if (m.isName)
            select << m.fieldName + QStringLiteral("_first") << m.fieldName + QStringLiteral("_middle")
                   << m.fieldName + QStringLiteral("_last") << m.fieldName + QStringLiteral("_title");
        else
            select << m.fieldSource + QStringLiteral(" AS ") + m.fieldName;
    }
    QString statement = QStringLiteral("SELECT top 800 ") + (select.isEmpty() ? QStringLiteral("*") : select.join(QLatin1Char(',')))
                        + QStringLiteral(" FROM ") + levelKey + QStringLiteral("View ") + where;
    if (levelKey == QLatin1String("SERIES"))
        statement += QStringLiteral(" ORDER BY CAST(SERIESNumber AS char)");
    else if (levelKey == QLatin1String("IMAGE"))
        statement += QStringLiteral(" ORDER BY CAST(InstanceNumber AS char)");
    m_lastStatement = statement;
    if (m_options.traceMode())
        m_log.WriteLog(statement);

    bool failed = false;
    db::ResultSet rows = m_connection.ExecuteSQL(statement, failed);
    if (rows.isNone()) {
        refuse(connection, kUnableToProcess, QStringLiteral("The query could not be run."));
        return;
    }
    const std::vector<toolkit::ToolkitAttribute> unanswered = unansweredKeys(identifier, mappings);
    toolkit::ToolkitSequence responses;
    int count = 0;
    for (; !rows.atEnd() && count < MaxResponses; rows.moveNext()) {
        ++count;
        toolkit::ToolkitDataset response;
        for (const Mapping &m : mappings) {
            const toolkit::ToolkitAttribute attribute = identifier.findAttribute(m.group, m.element);
            if (!attribute.attributeExists())
                continue;
            QVariant value;
            if (m.isName) {
                value = answeredName(rows.text(m.fieldName + QStringLiteral("_last")), rows.text(m.fieldName + QStringLiteral("_first")),
                                     rows.text(m.fieldName + QStringLiteral("_middle")), rows.text(m.fieldName + QStringLiteral("_title")));
            } else {
                const db::DbValue field = rows.field(m.fieldName);
                value = field.isNull() ? QVariant(QString()) : field.toVariant();
            }
            response.putAttribute(attribute.attributeGroup(), attribute.attributeElement(), value);
            QCoreApplication::processEvents();
        }
        addLevelAndRetrieveTitle(response, level);
        addUnansweredKeys(response, unanswered);
        responses.sequenceAdd(response);
    }
    rows.close();
    if (rows.endedWithError()) { // a partial list must not pass for the whole answer
        refuse(connection, kUnableToProcess, QStringLiteral("The query ended early: ") + rows.error());
        return;
    }
    m_log.WriteLog(QStringLiteral("Queries :") + QString::number(count));
    connection.sendResponses(responses, kPending);
    connection.setStatus(kSuccess);
}

} // namespace pacs

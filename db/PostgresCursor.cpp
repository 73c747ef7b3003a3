#include "db/PostgresCursor.h"

#include <libpq-fe.h>

namespace pacs::db {

namespace {

// Type identifiers of PostgreSQL's built-in types (pg_type.oid).
constexpr unsigned kBool = 16, kInt8 = 20, kInt2 = 21, kInt4 = 23, kOid = 26;
constexpr unsigned kFloat4 = 700, kFloat8 = 701, kNumeric = 1700;
constexpr unsigned kDate = 1082, kTimestamp = 1114, kTimestampTz = 1184;

} // namespace

PostgresCursor::PostgresCursor(pg_result *result, const Names &names)
    : m_result(result, PQclear)
{
    const int columns = PQnfields(result);
    for (int i = 0; i < columns; ++i) {
        const QString name = QString::fromUtf8(PQfname(result, i));
        m_names << names.value(name.toLower(), name);
        m_types << PQftype(result, i);
    }
    m_rows = PQntuples(result);
    m_affected = QByteArray(PQcmdTuples(result)).toInt();
}

PostgresCursor::~PostgresCursor() = default;

DbValue PostgresCursor::value(int index) const
{
    if (atEnd() || index < 0 || index >= m_names.size() || PQgetisnull(m_result.get(), m_row, index))
        return DbValue();
    const char *bytes = PQgetvalue(m_result.get(), m_row, index);
    const int length = PQgetlength(m_result.get(), m_row, index);
    switch (m_types[index]) {
    case kInt2:
    case kInt4:
    case kInt8:
    case kOid:
        return DbValue::fromInteger(QByteArray::fromRawData(bytes, length).toLongLong());
    case kBool:
        return DbValue::fromInteger(bytes[0] == 't' ? 1 : 0);
    case kFloat4:
    case kFloat8:
    case kNumeric:
        return DbValue::fromReal(QByteArray::fromRawData(bytes, length).toDouble());
    case kDate:
    case kTimestamp:
    case kTimestampTz: {
        // ISO output ("2024-01-15 10:30:00[.5][+01]"): seconds are what the archive keeps.
        const QDateTime when = DbValue::fromIsoText(QString::fromLatin1(bytes, qMin(length, 19)));
        return when.isValid() ? DbValue::fromDateTime(when) : DbValue::fromText(QString::fromUtf8(bytes, length));
    }
    default:
        return DbValue::fromText(QString::fromUtf8(bytes, length));
    }
}

void PostgresCursor::moveNext()
{
    if (m_row < m_rows)
        ++m_row;
}

void PostgresCursor::close()
{
    m_row = m_rows;
    m_result.reset();
}

} // namespace pacs::db

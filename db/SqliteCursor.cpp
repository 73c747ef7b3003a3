#include "db/SqliteCursor.h"

#include <QRegularExpression>
#include <sqlite3.h>

namespace pacs::db {

SqliteCursor::SqliteCursor(std::shared_ptr<sqlite3> db, sqlite3_stmt *stmt, std::function<void(sqlite3_stmt *)> release)
    : m_db(std::move(db)), m_stmt(stmt), m_release(std::move(release))
{
    if (!m_stmt)
        return;
    const int n = sqlite3_column_count(m_stmt);
    for (int i = 0; i < n; ++i) {
        m_names << QString::fromUtf8(sqlite3_column_name(m_stmt, i));
        const char *declared = sqlite3_column_decltype(m_stmt, i);
        const QByteArray type = QByteArray(declared ? declared : "").toLower();
        m_dateColumns << (type.contains("date") || type.contains("time"));
    }
}

SqliteCursor::~SqliteCursor()
{
    close();
}

bool SqliteCursor::start(QString &error)
{
    if (!m_stmt)
        return true;
    const int rc = sqlite3_step(m_stmt);
    if (rc == SQLITE_ROW) {
        m_atEnd = false;
        return true;
    }
    if (rc == SQLITE_DONE) {
        m_atEnd = true;
        return true;
    }
    error = QString::fromUtf8(sqlite3_errmsg(m_db.get()));
    close();
    return false;
}

void SqliteCursor::runToEnd()
{
    while (!m_atEnd)
        moveNext();
    close();
}

DbValue SqliteCursor::value(int index) const
{
    if (m_atEnd || !m_stmt || index < 0 || index >= m_names.size())
        return DbValue();
    switch (sqlite3_column_type(m_stmt, index)) {
    case SQLITE_NULL:
        return DbValue();
    case SQLITE_INTEGER:
        return DbValue::fromInteger(sqlite3_column_int64(m_stmt, index));
    case SQLITE_FLOAT:
        return DbValue::fromReal(sqlite3_column_double(m_stmt, index));
    default: {
        const auto *bytes = reinterpret_cast<const char *>(sqlite3_column_text(m_stmt, index));
        const QString text = QString::fromUtf8(bytes, sqlite3_column_bytes(m_stmt, index));
        // Date columns, and computed dates (which carry no declared type),
        // are kept as ISO text and read back as dates.
        static const QRegularExpression isoShape(QStringLiteral(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}$)"));
        if (m_dateColumns[index] || (text.size() == 19 && isoShape.match(text).hasMatch())) {
            const QDateTime when = DbValue::fromIsoText(text);
            if (when.isValid())
                return DbValue::fromDateTime(when);
        }
        return DbValue::fromText(text);
    }
    }
}

void SqliteCursor::moveNext()
{
    if (m_atEnd || !m_stmt)
        return;
    const int rc = sqlite3_step(m_stmt);
    if (rc == SQLITE_ROW)
        return;
    if (rc != SQLITE_DONE) {
        m_error = QString::fromUtf8(sqlite3_errmsg(m_db.get()));
        if (m_error.isEmpty())
            m_error = QStringLiteral("reading the rows failed (%1)").arg(rc);
    }
    close();
}

void SqliteCursor::close()
{
    m_atEnd = true;
    if (m_stmt) {
        if (m_release)
            m_release(m_stmt);
        else
            sqlite3_finalize(m_stmt);
        m_stmt = nullptr;
    }
}

} // namespace pacs::db

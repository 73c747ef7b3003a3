#pragma once

#include <QString>

namespace pacs::db {

// "Key=value;Key=value" as kept in DBServer.txt. Keys are matched without
// regard to case; a value may itself hold "=".
class ConnectionString
{
public:
    explicit ConnectionString(const QString &text = QString());

    const QString &text() const { return m_text; }
    QString value(const QString &key) const;
    bool has(const QString &key) const;
    // The back end the string names: "SQLite", "PostgreSQL", an ODBC driver...
    QString driver() const;

private:
    QString m_text;
};

} // namespace pacs::db

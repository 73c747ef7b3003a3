#pragma once

#include "db/DbCursor.h"

#include <QString>
#include <QStringList>
#include <memory>

namespace pacs::db {

// What a dialect needs of the connection that carries its statements: one
// statement in the server's own text, with its parameters as texts (a null
// QString is NULL) at the connection's placeholders.
class NativeRunner
{
public:
    virtual ~NativeRunner() = default;
    // Null with the server's message on failure; affected: rows an INSERT,
    // UPDATE or DELETE changed.
    virtual std::shared_ptr<DbCursor> runNative(const QString &sql, const QStringList &parameters, int &affected,
                                                QString &error) = 0;
    // The text that stands for parameter n (from 1): "$1" or "?".
    virtual QString placeholder(int n) const = 0;
};

} // namespace pacs::db

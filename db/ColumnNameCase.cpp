#include "db/ColumnNameCase.h"

namespace pacs::db {

ColumnNameCase::ColumnNameCase(std::shared_ptr<const Map> shared) : m_shared(std::move(shared))
{
}

void ColumnNameCase::insert(const QString &lower, const QString &written)
{
    m_own.insert(lower, written);
}

QString ColumnNameCase::value(const QString &lower, const QString &fallback) const
{
    if (const auto own = m_own.constFind(lower); own != m_own.cend())
        return *own;
    if (m_shared)
        if (const auto shared = m_shared->constFind(lower); shared != m_shared->cend())
            return *shared;
    return fallback;
}

} // namespace pacs::db

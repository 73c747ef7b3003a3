#pragma once

#include <QHash>
#include <QString>
#include <memory>

namespace pacs::db {

// Column names in the case a statement or the schema wrote them, looked up
// by their lower-case form. The schema's names are one shared, immutable map;
// a statement adds only its own few on top, so no statement copies the map.
class ColumnNameCase
{
public:
    using Map = QHash<QString, QString>; // lower case -> as written

    ColumnNameCase() = default;
    explicit ColumnNameCase(std::shared_ptr<const Map> shared);

    // A name the statement wrote: it wins over the shared spelling.
    void insert(const QString &lower, const QString &written);
    QString value(const QString &lower, const QString &fallback) const;

private:
    std::shared_ptr<const Map> m_shared;
    Map m_own;
};

} // namespace pacs::db

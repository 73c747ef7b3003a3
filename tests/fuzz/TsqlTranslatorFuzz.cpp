// Any statement text through the T-SQL translator of both dialects: the
// translator must end, never read outside its tokens, and keep literals.

#include "db/TsqlTranslator.h"

#include <cstddef>
#include <cstdint>

using namespace pacs::db;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    static TsqlTranslator sqlite = [] {
        TsqlTranslator t(SqlDialect::SQLite);
        ColumnTypes columns = TsqlTranslator::archiveDateColumns();
        columns[QStringLiteral("imageview")].insert(QStringLiteral("sopinstanceuid"),
                                                    QStringLiteral("varchar(64)") + QLatin1String(TsqlTranslator::ExactCollation));
        columns[QStringLiteral("seriestable")].insert(QStringLiteral("modality"), QStringLiteral("varchar(16)"));
        columns[QStringLiteral("studytable")].insert(QStringLiteral("studyuid"), QStringLiteral("varchar(64)"));
        columns[QStringLiteral("tblexamresult")].insert(QStringLiteral("studyuid"), QStringLiteral("varchar(64)"));
        t.setColumnTypes(columns);
        return t;
    }();
    static const TsqlTranslator postgres(SqlDialect::PostgreSQL);
    sqlite.translate(text);
    postgres.translate(text);
    TsqlTranslator::isoDateTime(text);
    return 0;
}

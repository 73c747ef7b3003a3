// Any statement text through the T-SQL translator of both dialects: the
// translator must end, never read outside its tokens, and keep literals.
// The same bytes, cut in two, go through the NOCASE comparison and LIKE,
// whose byte-wise paths must agree with the code point walk.

#include "db/TsqlFunctions.h"
#include "db/TsqlTranslator.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

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

    const std::string_view bytes(reinterpret_cast<const char *>(data), size);
    const size_t cut = size ? data[0] % (size + 1) : 0;
    const std::string_view left = bytes.substr(0, cut), right = bytes.substr(cut);
    auto sign = [](int x) { return (x > 0) - (x < 0); };
    if (sign(nocaseCompare(left, right)) != sign(nocaseCompareByCodePoints(left, right)))
        __builtin_trap();
    const std::optional<char32_t> escape = size > 1 && data[1] % 2 ? std::optional<char32_t>(char32_t(data[1] % 0x80)) : std::nullopt;
    if (nocaseLike(left, right, escape) != nocaseLikeByCodePoints(left, right, escape))
        __builtin_trap();
    return 0;
}

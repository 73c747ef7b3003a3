#include "TsqlFunctions.h"

#include "DbValue.h"
#include "TextValues.h"
#include "TsqlTranslator.h"

#include <QDateTime>
#include <QLocale>
#include <sqlite3.h>

namespace pacs::db {

namespace {

QString argText(sqlite3_value *v)
{
    const auto *bytes = reinterpret_cast<const char *>(sqlite3_value_text(v));
    return QString::fromUtf8(bytes, sqlite3_value_bytes(v));
}

void resultText(sqlite3_context *ctx, const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    sqlite3_result_text(ctx, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT);
}

QString styledDate(const QDateTime &when, int style)
{
    const QLocale c = QLocale::c();
    switch (style) {
    case 101:
        return c.toString(when, QStringLiteral("MM/dd/yyyy"));
    case 1:
        return c.toString(when, QStringLiteral("MM/dd/yy"));
    case 8:
    case 108:
        return c.toString(when, QStringLiteral("HH:mm:ss"));
    case 103:
        return c.toString(when, QStringLiteral("dd/MM/yyyy"));
    case 112:
        return c.toString(when, QStringLiteral("yyyyMMdd"));
    case 120:
        return c.toString(when, QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    default: { // 0 and 100: "Jan 15 2024 10:30AM"
        const QTime t = when.time();
        const int hour12 = t.hour() % 12 == 0 ? 12 : t.hour() % 12;
        return c.toString(when, QStringLiteral("MMM")) + QLatin1Char(' ')
               + QStringLiteral("%1 %2 %3:%4%5")
                     .arg(when.date().day(), 2, 10, QLatin1Char(' '))
                     .arg(when.date().year())
                     .arg(hour12, 2, 10, QLatin1Char(' '))
                     .arg(t.minute(), 2, 10, QLatin1Char('0'))
                     .arg(t.hour() < 12 ? QStringLiteral("AM") : QStringLiteral("PM"));
    }
    }
}

void convertFunction(sqlite3_context *ctx, int argc, sqlite3_value **argv)
{
    const QString type = argText(argv[0]).toLower();
    sqlite3_value *value = argv[1];
    const int style = argc > 2 && sqlite3_value_type(argv[2]) != SQLITE_NULL ? sqlite3_value_int(argv[2]) : 0;
    if (sqlite3_value_type(value) == SQLITE_NULL) {
        sqlite3_result_null(ctx);
        return;
    }
    if (type.startsWith(QLatin1String("date")) || type == QLatin1String("smalldatetime")) {
        const QString text = argText(value).trimmed();
        if (text.isEmpty()) { // as SQL Server: the empty text is the base date
            sqlite3_result_text(ctx, "1900-01-01 00:00:00", -1, SQLITE_STATIC);
            return;
        }
        const QString iso = TsqlTranslator::isoDateTime(text);
        if (iso.isEmpty()) {
            const QByteArray message = "Conversion failed when converting date and/or time from character string: '" + text.toUtf8() + "'";
            sqlite3_result_error(ctx, message.constData(), int(message.size()));
            return;
        }
        resultText(ctx, iso);
        return;
    }
    if (type.contains(QLatin1String("char")) || type.contains(QLatin1String("text"))) {
        const QString text = argText(value);
        const QDateTime when = DbValue::fromIsoText(text);
        if (when.isValid() && sqlite3_value_type(value) == SQLITE_TEXT && text.size() >= 10)
            resultText(ctx, styledDate(when, style));
        else
            resultText(ctx, text);
        return;
    }
    if (type.contains(QLatin1String("int")) || type == QLatin1String("bit")) {
        if (sqlite3_value_numeric_type(value) == SQLITE_INTEGER || sqlite3_value_numeric_type(value) == SQLITE_FLOAT) {
            sqlite3_result_int64(ctx, sqlite3_value_int64(value));
            return;
        }
        const QString text = argText(value).trimmed();
        bool ok = false;
        const qint64 n = text.toLongLong(&ok);
        if (!ok) {
            const QByteArray message = "Conversion failed when converting the varchar value '" + text.toUtf8() + "' to data type int.";
            sqlite3_result_error(ctx, message.constData(), int(message.size()));
            return;
        }
        sqlite3_result_int64(ctx, n);
        return;
    }
    if (type == QLatin1String("float") || type == QLatin1String("real") || type.startsWith(QLatin1String("decimal"))
        || type.startsWith(QLatin1String("numeric"))) {
        sqlite3_result_double(ctx, numericValue(argText(value)));
        return;
    }
    sqlite3_result_value(ctx, value);
}

void getdateFunction(sqlite3_context *ctx, int, sqlite3_value **)
{
    resultText(ctx, DbValue::isoText(QDateTime::currentDateTime()));
}

} // namespace

void registerTsqlFunctions(sqlite3 *db)
{
    sqlite3_create_function(db, "tsql_convert", 2, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, convertFunction, nullptr, nullptr);
    sqlite3_create_function(db, "tsql_convert", 3, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, convertFunction, nullptr, nullptr);
    sqlite3_create_function(db, "tsql_getdate", 0, SQLITE_UTF8, nullptr, getdateFunction, nullptr, nullptr);
}

} // namespace pacs::db

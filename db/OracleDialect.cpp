#include "db/OracleDialect.h"

#include "core/ActivityLog.h"
#include "core/Prompter.h"
#include "core/TextValues.h"

namespace pacs::db {

QString oracleRewrite(const QString &statement, bool *hadTop)
{
    QString text = statement.toUpper();
    static const std::pair<const char *, const char *> replacements[] = {
        {"CONVERT(VARCHAR,", "TO_CHAR("},
        {"CONVERT(DATETIME,", "TO_DATE ("},
        {",8)", ",'hh24:MI:ss')"},
        {",101)", ",'mm/dd/yyyy')"},
        {",0)", ",'mm/dd/yyyy hh24:MI:ss')"},
        {"+", "||"},
        {"[", "\""},
        {"]", "\""},
        {" AS ", " "},
    };
    for (const auto &[find, with] : replacements)
        text.replace(QLatin1String(find), QLatin1String(with));

    const bool top = text.contains(QLatin1String(" TOP "));
    if (hadTop)
        *hadTop = top;
    if (top) {
        // Written for "SELECT  TOP n ...": the count starts at the 13th character.
        const QString n = QString::number(qint64(numericValue(text.mid(12))));
        text = QStringLiteral("SELECT ") + text.mid(n.size() + 13);
        const qsizetype p = text.indexOf(QLatin1String("WHERE 1=1"));
        if (p >= 0)
            // The character after "WHERE 1=1" is kept on both sides of the insert.
            text = text.left(p + 10) + QStringLiteral(" AND ROWNUM < ") + n + text.mid(p + 9);
    }
    return text;
}

QString ToDialect(const QString &statement, int driverMode, ActivityLog &log, Prompter &prompter)
{
    if (driverMode == 0)
        return statement;
    if (driverMode != 1)
        return QString();
    log.WriteLog(statement);
    bool top = false;
    const QString text = oracleRewrite(statement, &top);
    if (top)
        prompter.inform(text);
    return text;
}

} // namespace pacs::db

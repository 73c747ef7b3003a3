#include "tests/reliability/ScenarioTable.h"

#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QRegularExpression>

#include <algorithm>

namespace pacs::test {

QString ScenarioTable::folder()
{
    const QByteArray chosen = qgetenv("TALMIR_RELIABILITY_TABLE_DIR");
    return chosen.isEmpty() ? QStringLiteral(TALMIR_RELIABILITY_TABLE_DEFAULT) : QString::fromLocal8Bit(chosen);
}

void ScenarioTable::record(const QString &kind, const QString &scenario, const QString &tried, const ArchiveAudit &audit)
{
    const QDir dir(folder());
    if (!dir.mkpath(QStringLiteral("rows")))
        return;
    QString slug = kind + QLatin1Char('-') + scenario;
    slug.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9]+")), QStringLiteral("-"));
    const QString row = QStringLiteral("| %1 | %2 | %3 | %4 | %5 | %6 | %7 |\n")
                            .arg(kind, scenario, tried)
                            .arg(audit.acknowledged)
                            .arg(audit.stored)
                            .arg(audit.quarantined)
                            .arg(audit.lost);
    QLockFile lock(dir.filePath(QStringLiteral("table.lock")));
    if (!lock.lock())
        return;
    QFile rowFile(dir.filePath(QStringLiteral("rows/") + slug + QStringLiteral(".row")));
    if (rowFile.open(QIODevice::WriteOnly | QIODevice::Truncate))
        rowFile.write(row.toUtf8());
    rowFile.close();

    // Rows in the order of the kinds, then by scenario.
    const QStringList kinds{QStringLiteral("Load-held"), QStringLiteral("Fault-survived"), QStringLiteral("Bad-input-tried")};
    QStringList names = QDir(dir.filePath(QStringLiteral("rows"))).entryList({QStringLiteral("*.row")}, QDir::Files, QDir::Name);
    std::stable_sort(names.begin(), names.end(), [&](const QString &a, const QString &b) {
        auto rank = [&](const QString &n) {
            for (qsizetype i = 0; i < kinds.size(); ++i)
                if (n.startsWith(kinds[i]))
                    return int(i);
            return int(kinds.size());
        };
        return rank(a) < rank(b);
    });
    QByteArray table = "| Kind | Scenario | Tried | Acknowledged | Stored | Quarantined | Lost |\n"
                       "|---|---|---|---:|---:|---:|---:|\n";
    for (const QString &name : names) {
        QFile f(dir.filePath(QStringLiteral("rows/") + name));
        if (f.open(QIODevice::ReadOnly))
            table += f.readAll();
    }
    QFile out(dir.filePath(QStringLiteral("reliability-table.md")));
    if (out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        out.write(table);
}

} // namespace pacs::test

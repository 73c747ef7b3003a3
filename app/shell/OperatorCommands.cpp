#include "app/shell/OperatorCommands.h"

#include "app/shell/ServerController.h"
#include "browser/GridModel.h"
#include "browser/StudyInfo.h"
#include "browser/StudyInfoFields.h"
#include "browser/StudyListSearch.h"
#include "browser/SyncStatusCommands.h"
#include "db/SqlText.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>

namespace pacs {

namespace {
struct CommandHelp
{
    const char *name;
    const char *arguments;
    const char *what;
};

const CommandHelp kCommands[] = {
    {"search", "[FILTERS]", "the study list of \"Browse Data\" (at most 1000 rows)"},
    {"series", "STUDY_UID", "the series of a study"},
    {"images", "SERIES_UID", "the images of a series (at most 1000)"},
    {"attributes", "INSTANCE_UID", "the attribute listing of a stored image"},
    {"send-studies", "[FILTERS] [--timeout S]", "\"Send Selected\" for every listed study, waits for the outbox"},
    {"send-image", "INSTANCE_UID [--timeout S]", "\"Send Image\", waits for the outbox"},
    {"mark-sent", "[FILTERS]", "\"Mark Listed:Sent\" for every listed study"},
    {"send-count", "[FILTERS]", "the \"Send Count \" report over the listed studies"},
};

const char *kFilterHelp =
    "FILTERS: --patient-id ID --last PREFIX --first PREFIX --accession NUMBER --study-number NUMBER\n"
    "         --modality CR,CT,... (CR CT MR US NM XC MG; one other code too) --date M/D/YYYY [--to M/D/YYYY]\n"
    "         --pending-result --pending-interpretation\n";
} // namespace

OperatorCommands::OperatorCommands(ServerController &controller, std::FILE *out, std::FILE *err)
    : m_controller(controller), m_out(out), m_err(err)
{
}

QString OperatorCommands::summary()
{
    QString text;
    for (const CommandHelp &c : kCommands)
        text += QStringLiteral("  %1 %2\n      %3\n").arg(QLatin1String(c.name), QLatin1String(c.arguments), QLatin1String(c.what));
    return text + QLatin1String(kFilterHelp);
}

bool OperatorCommands::isCommand(const QString &name)
{
    for (const CommandHelp &c : kCommands)
        if (name == QLatin1String(c.name))
            return true;
    return false;
}

int OperatorCommands::run(const QString &command, const QStringList &arguments)
{
    if (command == QLatin1String("search"))
        return search(arguments);
    if (command == QLatin1String("series"))
        return series(arguments);
    if (command == QLatin1String("images"))
        return images(arguments);
    if (command == QLatin1String("attributes"))
        return attributes(arguments);
    if (command == QLatin1String("send-studies"))
        return sendStudies(arguments);
    if (command == QLatin1String("send-image"))
        return sendImage(arguments);
    if (command == QLatin1String("mark-sent"))
        return markSent(arguments);
    if (command == QLatin1String("send-count"))
        return sendCount(arguments);
    return usageError(QStringLiteral("Unknown command ") + command);
}

void OperatorCommands::print(const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), m_out);
    std::fputc('\n', m_out);
    std::fflush(m_out);
}

void OperatorCommands::printError(const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), m_err);
    std::fputc('\n', m_err);
    std::fflush(m_err);
}

int OperatorCommands::usageError(const QString &text)
{
    printError(text);
    printError(QStringLiteral("Commands:\n") + summary());
    return 2;
}

void OperatorCommands::printGrid(const browser::GridModel &grid, int columns)
{
    for (int row = 0; row < grid.rows(); ++row) {
        QStringList cells;
        for (int c = 0; c < columns && c < grid.cols(); ++c)
            cells << (row == 0 ? grid.cell(row, c).trimmed() : grid.cell(row, c));
        print(cells.join(QLatin1Char('\t')));
    }
}

int OperatorCommands::waitForOutbox(int timeoutSeconds)
{
    Outbox &outbox = m_controller.outbox();
    outbox.load();
    outbox.NewOutgoing();
    QDeadlineTimer deadline(qint64(timeoutSeconds) * 1000);
    while (!outbox.isIdle() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    if (!outbox.isIdle()) {
        printError(QStringLiteral("The outbox has not finished within %1 s; %2 entries are left.")
                       .arg(timeoutSeconds)
                       .arg(outbox.outgoingList().size()));
        return 1;
    }
    if (outbox.heldCount() > 0) {
        printError(QStringLiteral("The storage node refused %1 entries; they stay in the outbox.").arg(outbox.heldCount()));
        return 1;
    }
    print(QStringLiteral("Sent."));
    return 0;
}

int OperatorCommands::series(const QStringList &arguments)
{
    if (arguments.size() != 1)
        return usageError(QStringLiteral("series needs one study UID"));
    browser::StudyInfo &info = m_controller.studyInfo();
    m_controller.studyFields().setValue(browser::StudyInfoFields::StudyUid, arguments[0]);
    info.LoadSeriesList();
    printGrid(info.seriesGrid(), browser::StudyInfo::GridColumns);
    return 0;
}

int OperatorCommands::images(const QStringList &arguments)
{
    if (arguments.size() != 1)
        return usageError(QStringLiteral("images needs one series UID"));
    browser::StudyInfo &info = m_controller.studyInfo();
    m_controller.studyFields().setValue(browser::StudyInfoFields::SeriesUid, arguments[0]);
    info.LoadImageList();
    printGrid(info.imageGrid(), browser::StudyInfo::GridColumns);
    return 0;
}

int OperatorCommands::attributes(const QStringList &arguments)
{
    if (arguments.size() != 1)
        return usageError(QStringLiteral("attributes needs one instance UID"));
    const QString uid = arguments[0];
    // The image's series first, as the operator would open it on "Study Info".
    bool failed = false;
    db::ResultSet rows = m_controller.connection().ExecuteSQL(
        QStringLiteral("select SeriesUID_FKey from imagetable where InstanceUID='") + db::Quote(uid) + QLatin1Char('\''), failed);
    const QString seriesUid = rows.isNone() || rows.atEnd() ? QString() : rows.text(0);
    rows.close();
    if (seriesUid.isEmpty()) {
        printError(QStringLiteral("No image ") + uid + QStringLiteral(" in the archive."));
        return 1;
    }
    browser::StudyInfo &info = m_controller.studyInfo();
    m_controller.studyFields().setValue(browser::StudyInfoFields::SeriesUid, seriesUid);
    info.LoadImageList();
    browser::GridModel &grid = info.imageGrid();
    for (int row = 1; row < grid.rows(); ++row) {
        if (grid.cell(row, 0) == uid) {
            grid.setRow(row);
            info.ShowImageRow();
            break;
        }
    }
    if (info.attributeList().isEmpty()) {
        printError(QStringLiteral("The file of image ") + uid + QStringLiteral(" could not be read."));
        return 1;
    }
    std::fputs(info.attributeList().toLocal8Bit().constData(), m_out);
    std::fflush(m_out);
    return 0;
}

int OperatorCommands::sendImage(const QStringList &arguments)
{
    QStringList rest;
    int timeout = 300;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == QLatin1String("--timeout") && i + 1 < arguments.size())
            timeout = arguments[++i].toInt();
        else
            rest << arguments[i];
    }
    if (rest.size() != 1 || timeout <= 0)
        return usageError(QStringLiteral("send-image needs one instance UID"));
    m_controller.studyFields().setValue(browser::StudyInfoFields::InstanceUid, rest[0]);
    if (!m_controller.syncCommands().SendImage())
        return 1;
    return waitForOutbox(timeout);
}

} // namespace pacs

#include "app/shell/HeadlessService.h"

#include "app/shell/ServerController.h"

#include <QTimer>
#include <cstdio>

namespace pacs {

HeadlessService::HeadlessService(ServerController &controller)
    : m_controller(controller), m_prompter(controller.log())
{
}

void HeadlessService::echoToConsole(ServerController &controller)
{
    ActivityLog &log = controller.log();
    QObject::connect(&log, &ActivityLog::logLineAdded, [](const QString &text) {
        std::fputs(text.trimmed().toLocal8Bit().constData(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    });
    QObject::connect(&log, &ActivityLog::errorLineAdded, [](const QString &line) {
        std::fputs(line.trimmed().toLocal8Bit().constData(), stderr);
        std::fputc('\n', stderr);
        std::fflush(stderr);
    });
}

void HeadlessService::reportReady(ServerController &controller)
{
    controller.log().writeLogDirect(QStringLiteral("Archive ready: ") + controller.home().path() + QStringLiteral(" (")
                                    + controller.companyCaption() + QLatin1Char(')'));
}

void HeadlessService::start()
{
    m_controller.setPrompter(&m_prompter);
    QTimer::singleShot(0, &m_controller, [this] {
        m_controller.load();
        reportReady(m_controller);
    });
}

} // namespace pacs

#include "app/shell/HeadlessService.h"

#include "app/shell/ServerController.h"

#include <QAbstractEventDispatcher>
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
    // A received image makes several lines; written one call each, they cost
    // the main thread (and a journal reading them) more than its database row.
    // Out once the event loop has nothing left to do, so a burst's lines go
    // together and none waits longer than the work before it.
    auto *dispatcher = QAbstractEventDispatcher::instance();
    if (dispatcher)
        QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, [] { std::fflush(stdout); });
    QObject::connect(&log, &ActivityLog::logLineAdded, [flushEach = !dispatcher](const QString &text) {
        std::fputs(text.trimmed().toLocal8Bit().constData(), stdout);
        std::fputc('\n', stdout);
        if (flushEach)
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

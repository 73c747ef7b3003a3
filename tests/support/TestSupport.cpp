#include "tests/support/TestSupport.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QThread>

namespace pacs::test {

bool waitUntil(const std::function<bool()> &condition, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
    return true;
}

ScratchHome::ScratchHome() : m_oldXdg(qgetenv("XDG_CONFIG_HOME"))
{
    QDir().mkpath(home());
    QDir().mkpath(configDir());
    qputenv("XDG_CONFIG_HOME", configDir().toUtf8());
}

ScratchHome::~ScratchHome()
{
    if (m_oldXdg.isEmpty())
        qunsetenv("XDG_CONFIG_HOME");
    else
        qputenv("XDG_CONFIG_HOME", m_oldXdg);
}

QString ScratchHome::settingsFile() const
{
    return configDir() + QStringLiteral("/PACS/PACS.ini");
}

void ScratchHome::writeFile(const QString &name, const QByteArray &content) const
{
    QFile f(path(name));
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(content);
}

} // namespace pacs::test

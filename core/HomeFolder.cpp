#include "core/HomeFolder.h"

#include "core/TextValues.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace pacs {

QString HomeFolder::defaultPath()
{
    QString base = qEnvironmentVariable("XDG_DATA_HOME");
    if (base.isEmpty())
        base = QDir::homePath() + QStringLiteral("/.local/share");
    return base + QStringLiteral("/talmir-pacs");
}

HomeFolder::HomeFolder(const QString &path) : m_path(QDir::cleanPath(QFileInfo(path).absoluteFilePath()))
{
}

QString HomeFolder::filePath(const QString &name) const
{
    return m_path + QLatin1Char('/') + name;
}

bool HomeFolder::exists(const QString &name) const
{
    return QFileInfo::exists(filePath(name));
}

bool HomeFolder::readFirstLine(const QString &name, QString &line, QString &error) const
{
    QFile file(filePath(name));
    if (!file.exists()) {
        error = QStringLiteral("File not found: ") + file.fileName();
        return false;
    }
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        error = QStringLiteral("Cannot read ") + file.fileName() + QStringLiteral(": ") + file.errorString();
        return false;
    }
    QByteArray first = file.readLine(64 * 1024);
    while (first.endsWith('\n') || first.endsWith('\r'))
        first.chop(1);
    line = QString::fromUtf8(first);
    return true;
}

QString HomeFolder::readAll(const QString &name) const
{
    QFile file(filePath(name));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.read(1024 * 1024));
}

bool HomeFolder::writeText(const QString &name, const QString &text, QString &error) const
{
    QDir().mkpath(m_path);
    QSaveFile file(filePath(name));
    if (!file.open(QIODevice::WriteOnly) || file.write(text.toUtf8()) < 0 || !file.commit()) {
        error = QStringLiteral("Cannot write ") + file.fileName() + QStringLiteral(": ") + file.errorString();
        return false;
    }
    return true;
}

int HomeFolder::driverMode() const
{
    if (!exists(QStringLiteral("DriverMode.txt")))
        return 0;
    return roundedValue(readAll(QStringLiteral("DriverMode.txt")));
}

QString HomeFolder::connectionFileName(int driverMode)
{
    if (driverMode == 0)
        return QStringLiteral("DBServer.txt");
    if (driverMode == 1)
        return QStringLiteral("DBServer1.txt");
    return QString();
}

} // namespace pacs

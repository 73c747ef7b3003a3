#include "tools/ServiceInstaller.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>
#include <QStandardPaths>

namespace pacs::tools {

namespace {

// A double-quoted word of a unit file: C escapes for \ and ", "%%" for a
// percent sign (systemd's specifiers), and "$$" where the line expands
// variables (ExecStart does, Environment does not).
QString quotedWord(const QString &text, bool escapeDollar)
{
    QString word = QStringLiteral("\"");
    for (const QChar c : text) {
        if (c == QLatin1Char('\\') || c == QLatin1Char('"'))
            word += QLatin1Char('\\');
        else if (c == QLatin1Char('%'))
            word += QLatin1Char('%');
        else if (c == QLatin1Char('$') && escapeDollar)
            word += QLatin1Char('$');
        word += c;
    }
    return word + QLatin1Char('"');
}

bool fitsInUnit(const QString &text)
{
    return !text.contains(QLatin1Char('\n')) && !text.contains(QLatin1Char('\r')) && !text.contains(QChar(0));
}

} // namespace

QString ServiceInstaller::systemUnitFolder()
{
    return QStringLiteral("/etc/systemd/system");
}

QString ServiceInstaller::runningSystemctl()
{
    // The test systemd itself uses (sd_booted): this folder exists only
    // while systemd is the running init.
    if (!QFileInfo(QStringLiteral("/run/systemd/system")).isDir())
        return QString();
    return QStandardPaths::findExecutable(QStringLiteral("systemctl"));
}

QString ServiceInstaller::execWord(const QString &text)
{
    return quotedWord(text, true);
}

ServiceInstaller::ServiceInstaller(const QString &serviceBinary, const QString &homeFolder, const QString &configHome)
    : m_serviceBinary(QFileInfo(serviceBinary).absoluteFilePath()),
      m_homeFolder(QFileInfo(homeFolder).absoluteFilePath()),
      m_configHome(QFileInfo(configHome).absoluteFilePath()),
      m_unitFolder(systemUnitFolder())
{
}

QString ServiceInstaller::unitPath() const
{
    return QDir(m_unitFolder).filePath(QLatin1String(UnitName));
}

QString ServiceInstaller::unitText()
{
    for (const QString *path : {&m_serviceBinary, &m_homeFolder, &m_configHome, &m_user}) {
        if (!fitsInUnit(*path)) {
            m_error = QStringLiteral("A path with a line break cannot go into a unit: ") + *path;
            return QString();
        }
    }
    const bool asRoot = m_user.isEmpty() || m_user == QLatin1String("root");
    QString text;
    text += QStringLiteral("# Written by \"Install as Service\".\n");
    text += QStringLiteral("[Unit]\n");
    text += QStringLiteral("Description=") + QLatin1String(Description) + QLatin1Char('\n');
    // The server waits for its database itself; the network should be up.
    text += QStringLiteral("Wants=network-online.target\n");
    text += QStringLiteral("After=network-online.target\n\n");
    text += QStringLiteral("[Service]\n");
    text += QStringLiteral("Type=simple\n");
    text += QStringLiteral("ExecStart=") + execWord(m_serviceBinary) + QStringLiteral(" --home ") + execWord(m_homeFolder)
            + QLatin1Char('\n');
    // The settings the dialog wrote, not those of whatever account runs it.
    text += QStringLiteral("Environment=") + quotedWord(QStringLiteral("XDG_CONFIG_HOME=") + m_configHome, false)
            + QLatin1Char('\n');
    if (!asRoot) {
        text += QStringLiteral("User=") + m_user + QLatin1Char('\n');
        // DICOM's port 104 is below 1024.
        text += QStringLiteral("AmbientCapabilities=CAP_NET_BIND_SERVICE\n");
    }
    text += QStringLiteral("Restart=on-failure\n");
    text += QStringLiteral("RestartSec=10\n\n");
    text += QStringLiteral("[Install]\n");
    text += QStringLiteral("WantedBy=multi-user.target\n");
    return text;
}

bool ServiceInstaller::install()
{
    m_report.clear();
    m_error.clear();
    const QFileInfo binary(m_serviceBinary);
    if (!binary.isFile() || !binary.isExecutable()) {
        m_error = QStringLiteral("The service program is missing: ") + m_serviceBinary;
        m_report << m_error;
        return false;
    }
    const QString text = unitText();
    if (text.isEmpty()) {
        m_report << m_error;
        return false;
    }
    if (!QDir().mkpath(m_unitFolder)) {
        m_error = QStringLiteral("Cannot create the folder ") + m_unitFolder;
        m_report << m_error;
        return false;
    }
    const bool replacing = QFileInfo::exists(unitPath());
    QSaveFile file(unitPath());
    if (!file.open(QIODevice::WriteOnly) || file.write(text.toUtf8()) < 0 || !file.commit()) {
        m_error = QStringLiteral("Cannot write ") + unitPath() + QStringLiteral(": ") + file.errorString();
        m_report << m_error;
        return false;
    }
    QFile::setPermissions(unitPath(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup
                                          | QFileDevice::ReadOther);
    m_report << (replacing ? QStringLiteral("Replaced ") : QStringLiteral("Wrote ")) + unitPath();
    m_report << QStringLiteral("The service runs: ") + m_serviceBinary + QStringLiteral(" --home ") + m_homeFolder;

    const QString unit = QLatin1String(UnitName);
    if (m_systemctl.isEmpty()) {
        if (QDir(m_unitFolder).absolutePath() != systemUnitFolder())
            m_report << QStringLiteral("To install it, copy it to ") + systemUnitFolder()
                            + QStringLiteral(", then run: systemctl daemon-reload && systemctl enable ") + unit;
        else
            m_report << QStringLiteral("systemd is not running here. Where it runs, enable the service with: "
                                       "systemctl daemon-reload && systemctl enable ")
                            + unit;
        return true;
    }
    if (!runSystemctl({QStringLiteral("daemon-reload")}) || !runSystemctl({QStringLiteral("enable"), unit})) {
        m_report << QStringLiteral("Enable it by hand with: systemctl daemon-reload && systemctl enable ") + unit;
        return false;
    }
    m_report << QStringLiteral("Enabled: it starts with the system. Start it now with: systemctl start ") + unit
                    + QStringLiteral(" (after closing this program, which may hold the port).");
    return true;
}

bool ServiceInstaller::runSystemctl(const QStringList &arguments)
{
    const QString shown = QStringLiteral("systemctl ") + arguments.join(QLatin1Char(' '));
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(m_systemctl, arguments);
    if (!process.waitForStarted(10000)) {
        m_error = shown + QStringLiteral(" could not be started: ") + process.errorString();
        m_report << m_error;
        return false;
    }
    process.waitForFinished(120000);
    const QString output = QString::fromLocal8Bit(process.readAll()).trimmed();
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(5000);
        m_error = shown + QStringLiteral(" did not finish");
        m_report << m_error;
        return false;
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        m_error = shown + QStringLiteral(" failed (exit %1)").arg(process.exitCode())
                  + (output.isEmpty() ? QString() : QStringLiteral(": ") + output);
        m_report << m_error;
        return false;
    }
    m_report << shown + QStringLiteral(": done") + (output.isEmpty() ? QString() : QStringLiteral(" (") + output + QLatin1Char(')'));
    return true;
}

} // namespace pacs::tools

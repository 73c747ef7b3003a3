#include "tools/ProgramUpdate.h"

#include "core/ActivityLog.h"
#include "core/EventYield.h"
#include "core/Prompter.h"
#include "core/SettingsStore.h"
#include "db/SqlText.h"
#include "tools/HTTPClass.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <unistd.h>

namespace pacs::tools {

namespace {

constexpr int kMaxBackups = 100000;

struct ElfIdentity
{
    int elfClass = 0;   // 1: 32-bit, 2: 64-bit
    int byteOrder = 0;  // 1: little-endian, 2: big-endian
    int type = 0;       // 2: executable, 3: position-independent
    int machine = 0;
};

bool readElf(const QByteArray &bytes, ElfIdentity &id)
{
    if (bytes.size() < 20 || !bytes.startsWith("\x7F" "ELF"))
        return false;
    id.elfClass = static_cast<unsigned char>(bytes[4]);
    id.byteOrder = static_cast<unsigned char>(bytes[5]);
    const auto u16 = [&](int at) {
        const int a = static_cast<unsigned char>(bytes[at]);
        const int b = static_cast<unsigned char>(bytes[at + 1]);
        return id.byteOrder == 2 ? (a << 8) | b : (b << 8) | a;
    };
    id.type = u16(16);
    id.machine = u16(18);
    const int headerSize = id.elfClass == 2 ? 64 : 52;
    return bytes.size() >= headerSize;
}

QByteArray runningProgramHeader()
{
    QFile self(QStringLiteral("/proc/self/exe"));
    if (!self.open(QIODevice::ReadOnly)) {
        self.setFileName(QCoreApplication::applicationFilePath());
        if (!self.open(QIODevice::ReadOnly))
            return {};
    }
    return self.read(64);
}

QString className(int elfClass)
{
    return elfClass == 1 ? QStringLiteral("32-bit") : elfClass == 2 ? QStringLiteral("64-bit") : QStringLiteral("unknown-class");
}

} // namespace

ProgramUpdate::ProgramUpdate(SettingsStore &settings, ActivityLog &log, QObject *parent)
    : QObject(parent), m_settings(settings), m_log(log)
{
}

QString ProgramUpdate::serverAddress() const
{
    if (!m_serverOverride.trimmed().isEmpty())
        return m_serverOverride.trimmed();
    return m_settings.read(QLatin1String(SettingsStore::Server), QLatin1String(ServerKey), QString()).trimmed();
}

QString ProgramUpdate::target() const
{
    return m_target.isEmpty() ? QCoreApplication::applicationFilePath() : m_target;
}

QString ProgramUpdate::requestPath() const
{
    return QLatin1String(RequestFolder) + QFileInfo(target()).fileName();
}

QString ProgramUpdate::backupName(const QString &fileName, int i)
{
    const QString number = QString::number(i);
    if (!fileName.contains(QLatin1Char('.')))
        return fileName + QLatin1Char('.') + number;
    QString name = fileName;
    return name.replace(QLatin1Char('.'), QLatin1Char('.') + number);
}

bool ProgramUpdate::isProgramForThisMachine(const QByteArray &bytes, QString &why)
{
    ElfIdentity got;
    if (!readElf(bytes, got)) {
        why = QStringLiteral("it is not a program (no ELF header)");
        return false;
    }
    ElfIdentity own;
    if (!readElf(runningProgramHeader(), own)) {
        why = QStringLiteral("the running program's own header cannot be read");
        return false;
    }
    if (got.type != 2 && got.type != 3) {
        why = QStringLiteral("it is not an executable (ELF type %1)").arg(got.type);
        return false;
    }
    if (got.elfClass != own.elfClass || got.byteOrder != own.byteOrder) {
        why = QStringLiteral("it is a %1 %2 program, this machine runs %3 %4 ones")
                  .arg(className(got.elfClass), got.byteOrder == 2 ? QStringLiteral("big-endian") : QStringLiteral("little-endian"),
                       className(own.elfClass), own.byteOrder == 2 ? QStringLiteral("big-endian") : QStringLiteral("little-endian"));
        return false;
    }
    if (got.machine != own.machine) {
        why = QStringLiteral("it is built for another machine (ELF machine %1, this one is %2)").arg(got.machine).arg(own.machine);
        return false;
    }
    return true;
}

ProgramUpdate::Outcome ProgramUpdate::finish(Outcome outcome, const QString &message, Prompter *prompter)
{
    m_message = message;
    if (outcome != Outcome::Installed && outcome != Outcome::Restarted)
        m_log.WriteLog(message);
    // Neither the cursor nor the frame outlasts the command.
    emit busyChanged(false);
    if (prompter)
        prompter->inform(message);
    m_running = false;
    return outcome;
}

ProgramUpdate::Outcome ProgramUpdate::run(Prompter &prompter)
{
    if (m_running)
        return Outcome::DownloadFailed; // a second click while the first runs
    m_running = true;
    m_message.clear();
    m_startedPid = 0;
    emit busyChanged(true);
    yieldToEvents();

    const QString address = serverAddress();
    if (address.isEmpty())
        return finish(Outcome::NoServer,
                      QStringLiteral("No update server is set. Its address (http://host:port) is the setting %1 in [SERVER].")
                          .arg(QLatin1String(ServerKey)),
                      &prompter);
    {
        QString host, basePath, error;
        int port = 0;
        if (!HTTPClass::parseServer(address, host, port, basePath, error))
            return finish(Outcome::NoServer, QStringLiteral("The update server is not set right: ") + error, &prompter);
    }

    HTTPClass client(m_timeoutMs);
    client.Fields(QStringLiteral("Username"), QLatin1String(UserName));
    client.Fields(QStringLiteral("Password"), QLatin1String(Password));
    if (!client.OpenHTTP(address, ServerPortArgument, QLatin1String(UserName), QLatin1String(Password))) {
        m_log.WriteLog(QStringLiteral("Program Update: ") + client.lastError());
        return finish(Outcome::CannotConnect, QLatin1String(CannotConnect), &prompter);
    }

    const QString exe = QFileInfo(target()).absoluteFilePath();
    db::MakeDirs(exe); // the program's folder
    const QString newFile = exe + QLatin1String(NewSuffix);
    m_log.WriteLog(QStringLiteral("Program Update: downloading ") + client.serverUrl() + requestPath());
    const QByteArray body = client.SendRequest(requestPath(), QStringLiteral("GET"), QString(), true);
    const int status = client.statusCode();
    const QString reason = client.reasonPhrase();
    const QString error = client.lastError();
    client.CloseHTTP();

    const QString unchanged = QStringLiteral(" Nothing was changed.");
    if (status == 0)
        return finish(Outcome::DownloadFailed, QStringLiteral("Program Update failed: ") + error + QLatin1Char('.') + unchanged, &prompter);
    if (status != 200)
        return finish(Outcome::DownloadFailed,
                      QStringLiteral("Program Update failed: the server answered %1.")
                              .arg(reason.isEmpty() ? QString::number(status) : QString::number(status) + QLatin1Char(' ') + reason)
                          + unchanged,
                      &prompter);
    if (body.isEmpty())
        return finish(Outcome::DownloadFailed, QStringLiteral("Program Update failed: the server sent an empty file.") + unchanged, &prompter);
    QString why;
    if (!isProgramForThisMachine(body, why))
        return finish(Outcome::DownloadFailed,
                      QStringLiteral("Program Update failed: the download (%1 bytes) is not a program for this machine: %2.")
                              .arg(body.size())
                              .arg(why)
                          + unchanged,
                      &prompter);

    QFile out(newFile);
    bool written = out.open(QIODevice::WriteOnly | QIODevice::Truncate) && out.write(body) == body.size() && out.flush()
                   && ::fsync(out.handle()) == 0;
    const QString writeError = out.errorString();
    out.close();
    if (!written) {
        QFile::remove(newFile);
        return finish(Outcome::InstallFailed, QStringLiteral("Program Update failed: cannot write %1: %2.").arg(newFile, writeError) + unchanged,
                      &prompter);
    }
    QFileDevice::Permissions permissions = QFileInfo::exists(exe)
                                               ? QFile::permissions(exe)
                                               : QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther;
    permissions |= QFileDevice::ExeOwner | QFileDevice::ExeUser | QFileDevice::ExeGroup | QFileDevice::ExeOther;
    QFile::setPermissions(newFile, permissions);
    m_log.WriteLog(QStringLiteral("Program Update: %1 bytes saved as %2").arg(body.size()).arg(newFile));

    if (!install(newFile))
        return finish(Outcome::InstallFailed, m_message, &prompter);
    m_log.WriteLog(QStringLiteral("Program Update: installed ") + exe);

    emit busyChanged(false);
    if (!prompter.askYesNo(QLatin1String(Question)))
        return finish(Outcome::Installed, QStringLiteral("The new program is installed as ") + exe + QLatin1Char('.'), nullptr);

    qint64 pid = 0;
    if (!QProcess::startDetached(exe, m_restartArguments, QDir::currentPath(), &pid))
        return finish(Outcome::StartFailed, QStringLiteral("The new program is installed as %1 but could not be started.").arg(exe),
                      &prompter);
    m_startedPid = pid;
    yieldToEvents();
    return finish(Outcome::Restarted, QStringLiteral("Started %1 (process %2).").arg(exe).arg(pid), nullptr);
}

bool ProgramUpdate::install(const QString &newFile)
{
    const QString exe = QFileInfo(target()).absoluteFilePath();
    const QFileInfo info(exe);
    QString backup;
    if (info.exists() || info.isSymLink()) {
        const QDir folder = info.absoluteDir();
        for (int i = 1; i <= kMaxBackups && backup.isEmpty(); ++i) {
            const QString candidate = folder.filePath(backupName(info.fileName(), i));
            const QFileInfo c(candidate);
            if (!c.exists() && !c.isSymLink())
                backup = candidate;
        }
        if (backup.isEmpty() || !QFile::rename(exe, backup)) {
            QFile::remove(newFile);
            m_message = QStringLiteral("Program Update failed: cannot keep %1 as a backup%2. Nothing was changed.")
                            .arg(exe, backup.isEmpty() ? QString() : QStringLiteral(" (") + backup + QLatin1Char(')'));
            return false;
        }
        m_log.WriteLog(QStringLiteral("Program Update: the old program is kept as ") + backup);
    }
    if (!QFile::rename(newFile, exe)) {
        // Without the new file in place the old one goes back: the program
        // must not be left missing.
        const bool restored = backup.isEmpty() || QFile::rename(backup, exe);
        QFile::remove(newFile);
        m_message = restored ? QStringLiteral("Program Update failed: cannot put the new program in place as %1. Nothing was changed.").arg(exe)
                             : QStringLiteral("Program Update failed: cannot put the new program in place as %1; the old one is %2.").arg(exe, backup);
        return false;
    }
    return true;
}

} // namespace pacs::tools

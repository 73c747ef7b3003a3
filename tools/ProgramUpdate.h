#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

namespace pacs {
class ActivityLog;
class Prompter;
class SettingsStore;
} // namespace pacs

namespace pacs::tools {

// "Program Update": fetches a new copy of the running program from the
// update server, keeps the running one as a numbered backup beside it, puts
// the new one in its place and offers to start it. Nothing is replaced
// unless the server answered 200 with a program that runs on this machine.
class ProgramUpdate : public QObject
{
    Q_OBJECT
public:
    // The update server's address, "http://host:port", in section SERVER.
    static constexpr const char *ServerKey = "UpdateServer";
    static constexpr const char *UserName = "talmir";
    static constexpr const char *Password = "zaqvet";
    // The port argument OpenHTTP is given; the address decides the port.
    static constexpr int ServerPortArgument = 88;
    static constexpr const char *RequestFolder = "/apps/pacs/server/";
    static constexpr const char *NewSuffix = " - new";
    static constexpr const char *Question = "Done. Run Program?";
    static constexpr const char *CannotConnect = "Cannot connect";

    enum class Outcome {
        NoServer,       // no address set
        CannotConnect,  // the server is unreachable
        DownloadFailed, // no program came; nothing changed
        InstallFailed,  // the files could not be swapped; the old program stays
        Installed,      // the new program is in place, not started
        StartFailed,    // ... but it could not be started
        Restarted,      // ... and started: this program should end now
    };

    ProgramUpdate(SettingsStore &settings, ActivityLog &log, QObject *parent = nullptr);

    // An address for this run instead of the setting's.
    void setServerOverride(const QString &address) { m_serverOverride = address; }
    QString serverAddress() const;
    // The executable to replace; by default the running program.
    void setTarget(const QString &path) { m_target = path; }
    QString target() const;
    // What the new program is started with.
    void setRestartArguments(const QStringList &arguments) { m_restartArguments = arguments; }
    void setTimeoutMs(int ms) { m_timeoutMs = ms; }

    // The request path for the target's file name.
    QString requestPath() const;
    // The name of backup number i: every "." of the name becomes "." + i;
    // a name without a dot (as programs here are named) gets "." + i.
    static QString backupName(const QString &fileName, int i);

    // The command. Returns when it is over; the texts it showed are in the
    // prompter, its progress in the activity log.
    Outcome run(Prompter &prompter);
    bool isRunning() const { return m_running; }
    // What the last run ended with, in words.
    QString message() const { return m_message; }
    qint64 startedPid() const { return m_startedPid; }

    // Whether bytes are a program this machine runs: an ELF executable of
    // the running program's class, byte order and machine.
    static bool isProgramForThisMachine(const QByteArray &bytes, QString &why);

signals:
    // The wait cursor and the "please wait" frame.
    void busyChanged(bool busy);

private:
    Outcome finish(Outcome outcome, const QString &message, Prompter *prompter);
    bool install(const QString &newFile);

    SettingsStore &m_settings;
    ActivityLog &m_log;
    QString m_serverOverride;
    QString m_target;
    QStringList m_restartArguments;
    int m_timeoutMs = 60000;
    bool m_running = false;
    QString m_message;
    qint64 m_startedPid = 0;
};

} // namespace pacs::tools

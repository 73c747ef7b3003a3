#pragma once

#include <QString>
#include <QStringList>

namespace pacs::tools {

// "Install as Service": a systemd unit that runs the headless service
// binary on this installation's home folder and settings, then (where
// systemd runs) a daemon-reload and an enable. The unit is enabled, not
// started: the desktop program that installs it may hold the port itself.
class ServiceInstaller
{
public:
    static constexpr const char *UnitName = "talmir-pacs.service";
    static constexpr const char *Description = "TALMIR PACS DICOM Server";

    // Where systemd looks for units the administrator installs.
    static QString systemUnitFolder();
    // systemctl, when it is on the path and systemd is the running init
    // (it is not in a container or a chroot); empty otherwise.
    static QString runningSystemctl();

    // serviceBinary: the headless program; homeFolder: its --home;
    // configHome: the XDG_CONFIG_HOME it reads its settings under, so the
    // service sees the settings the dialog wrote.
    ServiceInstaller(const QString &serviceBinary, const QString &homeFolder, const QString &configHome);

    void setUnitFolder(const QString &folder) { m_unitFolder = folder; }
    const QString &unitFolder() const { return m_unitFolder; }
    // The systemctl to run after writing the unit; empty: none is run and
    // the report says how to enable the unit.
    void setSystemctl(const QString &program) { m_systemctl = program; }
    // The account the service runs as; empty or "root": no User= line.
    void setUser(const QString &user) { m_user = user; }

    QString unitPath() const;
    // The unit file's text; empty with error() set when a path cannot go
    // into a unit (not absolute, or holding a line break).
    QString unitText();
    // Writes the unit (whole, through a temporary file) and runs systemctl.
    // False when the unit could not be written or systemctl failed; report()
    // says what was done either way.
    bool install();

    const QStringList &report() const { return m_report; }
    const QString &error() const { return m_error; }

    // A word for ExecStart=: quoted, with systemd's escapes for \ " % $.
    static QString execWord(const QString &text);

private:
    bool runSystemctl(const QStringList &arguments);

    QString m_serviceBinary;
    QString m_homeFolder;
    QString m_configHome;
    QString m_unitFolder;
    QString m_systemctl;
    QString m_user;
    QStringList m_report;
    QString m_error;
};

} // namespace pacs::tools

#pragma once

#include <QString>
#include <QTemporaryDir>
#include <functional>
#include <ostream>

// Readable QString values in assertion messages.
inline void PrintTo(const QString &s, std::ostream *os)
{
    *os << '"' << s.toStdString() << '"';
}

namespace pacs::test {

// Processes Qt events until the condition holds or the deadline passes.
bool waitUntil(const std::function<bool()> &condition, int timeoutMs = 10000);

// A scratch home folder and settings folder for one test; both vanish with it.
// With PACS_TEST_SERVER set, the home's DBServer.txt names a server database
// made for the test (see ServerDatabase), dropped with it.
class ScratchHome
{
public:
    // Embedded: the home keeps the embedded archive even with PACS_TEST_SERVER.
    enum class Archive { AsConfigured, Embedded };
    explicit ScratchHome(Archive archive = Archive::AsConfigured);
    ~ScratchHome();
    QString home() const { return m_dir.path() + QStringLiteral("/home"); }
    QString configDir() const { return m_dir.path() + QStringLiteral("/config"); }
    QString settingsFile() const;
    QString path(const QString &name) const { return home() + QLatin1Char('/') + name; }
    void writeFile(const QString &name, const QByteArray &content) const;

private:
    QTemporaryDir m_dir;
    QByteArray m_oldXdg;
    QString m_serverDatabase;
};

} // namespace pacs::test

#pragma once

#include <QString>
#include <memory>

class QSettings;

namespace pacs {

// The program's per-user settings: application "PACS", sections "SERVER" and
// "Main", every value a text. Kept as an INI file under $XDG_CONFIG_HOME
// (default ~/.config) at PACS/PACS.ini. Key names are matched without regard
// to case; an absent key yields its default; nothing is ever deleted.
class SettingsStore
{
public:
    static constexpr const char *Server = "SERVER";
    static constexpr const char *Main = "Main";

    // The file in the user's settings folder, as the environment names it now.
    static QString defaultFilePath();

    explicit SettingsStore(const QString &filePath = defaultFilePath());
    ~SettingsStore();
    SettingsStore(const SettingsStore &) = delete;
    SettingsStore &operator=(const SettingsStore &) = delete;

    QString filePath() const;

    // The stored text, or the given default when the key is absent.
    QString read(const QString &section, const QString &key, const QString &defaultValue) const;
    // The stored text, or the default the program defines for this key.
    QString read(const QString &section, const QString &key) const;
    // Written to disk at once.
    void write(const QString &section, const QString &key, const QString &value);
    bool contains(const QString &section, const QString &key) const;

    // Check boxes: the leading number of the text, rounded (0 when none).
    int readCheck(const QString &section, const QString &key) const;
    void writeCheck(const QString &section, const QString &key, int state);
    // Option buttons stored as "True"/"False".
    bool readOption(const QString &section, const QString &key) const;

    // The program's default for a key ("" for keys it does not define).
    static QString defaultFor(const QString &section, const QString &key);

private:
    QString storedKeyName(const QString &section, const QString &key) const;

    std::unique_ptr<QSettings> m_settings;
};

} // namespace pacs

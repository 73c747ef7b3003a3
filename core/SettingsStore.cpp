#include "core/SettingsStore.h"

#include "core/TextValues.h"

#include <QDir>
#include <QSettings>

namespace pacs {

namespace {

struct KeyDefault
{
    const char *section;
    const char *key;
    const char *value;
};

// Every key the program keeps, with the value an absent key reads as.
constexpr KeyDefault kDefaults[] = {
    {"SERVER", "txtSendTO", ""},
    {"SERVER", "chkEnableLog", "1"},
    {"SERVER", "chkLogEvents", ""},
    {"SERVER", "chkUpdateImageData", ""},
    {"SERVER", "chkSendEveryMin", "0"},
    {"SERVER", "chkAuotEcho", "0"},
    {"SERVER", "chkStorebyInst", "1"},
    {"SERVER", "chkDisregardDuplicates", "1"},
    {"SERVER", "chkCheckRequestNum", "0"},
    {"SERVER", "chkSavetoDBbeforeSaveImage", "1"},
    {"SERVER", "PORT", "104"},
    {"SERVER", "AEName", "TALMIR"},
    {"SERVER", "StorageAE", ""},
    {"SERVER", "StorageNode", ""},
    {"SERVER", "StoragePort", ""},
    {"SERVER", "ServerDrive", "D:\\"},
    {"SERVER", "JPEGQuality", "0"},
    {"SERVER", "chkUseCallingRemoteIP", "0"},
    {"SERVER", "chkAcceptKnownAETsOnly", "0"},
    {"SERVER", "chkCheckCallerAddress", "0"},
    {"SERVER", "TLSCertificate", ""},
    {"SERVER", "TLSPrivateKey", ""},
    {"SERVER", "TLSTrustedCertificates", ""},
    {"SERVER", "chkTLSOutgoing", "1"},
    {"Main", "chkDisregardDifferentName", "0"},
    {"Main", "chkHospNumExist", "0"},
    {"Main", "optDisregard", "1"},
    {"Main", "optCreateTempID", "0"},
    {"Main", "optORVIK", "False"},
    {"Main", "optQuillstad", "False"},
    {"Main", "optBrackmoor", "False"},
    {"Main", "optNone", "False"},
};

} // namespace

QString SettingsStore::defaultFilePath()
{
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (base.isEmpty())
        base = QDir::homePath() + QStringLiteral("/.config");
    return base + QStringLiteral("/PACS/PACS.ini");
}

SettingsStore::SettingsStore(const QString &filePath)
    : m_settings(std::make_unique<QSettings>(filePath, QSettings::IniFormat))
{
}

SettingsStore::~SettingsStore() = default;

QString SettingsStore::filePath() const
{
    return m_settings->fileName();
}

QString SettingsStore::defaultFor(const QString &section, const QString &key)
{
    for (const KeyDefault &d : kDefaults)
        if (section.compare(QLatin1String(d.section), Qt::CaseInsensitive) == 0
            && key.compare(QLatin1String(d.key), Qt::CaseInsensitive) == 0)
            return QString::fromLatin1(d.value);
    return QString();
}

// The name under which the key is stored already, matched without regard to
// case, so that "port" and "PORT" address one value.
QString SettingsStore::storedKeyName(const QString &section, const QString &key) const
{
    const QStringList groups = m_settings->childGroups();
    QString group = section;
    for (const QString &g : groups)
        if (g.compare(section, Qt::CaseInsensitive) == 0) {
            group = g;
            break;
        }
    m_settings->beginGroup(group);
    const QStringList keys = m_settings->childKeys();
    m_settings->endGroup();
    for (const QString &k : keys)
        if (k.compare(key, Qt::CaseInsensitive) == 0)
            return group + QLatin1Char('/') + k;
    return group + QLatin1Char('/') + key;
}

QString SettingsStore::read(const QString &section, const QString &key, const QString &defaultValue) const
{
    const QVariant v = m_settings->value(storedKeyName(section, key));
    if (!v.isValid())
        return defaultValue;
    if (v.typeId() == QMetaType::QStringList) // an unquoted comma in a hand-edited file
        return v.toStringList().join(QLatin1String(", "));
    return v.toString();
}

QString SettingsStore::read(const QString &section, const QString &key) const
{
    return read(section, key, defaultFor(section, key));
}

void SettingsStore::write(const QString &section, const QString &key, const QString &value)
{
    m_settings->setValue(storedKeyName(section, key), value);
    m_settings->sync();
}

bool SettingsStore::contains(const QString &section, const QString &key) const
{
    return m_settings->contains(storedKeyName(section, key));
}

int SettingsStore::readCheck(const QString &section, const QString &key) const
{
    return roundedValue(read(section, key));
}

void SettingsStore::writeCheck(const QString &section, const QString &key, int state)
{
    write(section, key, QString::number(state));
}

bool SettingsStore::readOption(const QString &section, const QString &key) const
{
    const QString v = read(section, key).trimmed();
    if (v.compare(QLatin1String("True"), Qt::CaseInsensitive) == 0)
        return true;
    if (v.compare(QLatin1String("False"), Qt::CaseInsensitive) == 0 || v.isEmpty())
        return false;
    return numericValue(v) != 0.0;
}

} // namespace pacs

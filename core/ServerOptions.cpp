#include "core/ServerOptions.h"

#include "core/SettingsStore.h"
#include "core/TextValues.h"

#include <QDir>

namespace pacs {

namespace {
const QString kServer = QLatin1String(SettingsStore::Server);
const QString kMain = QLatin1String(SettingsStore::Main);
} // namespace

ServerOptions::ServerOptions(SettingsStore &store, const QString &homeFolder, QObject *parent)
    : QObject(parent), m_store(store), m_homeFolder(homeFolder)
{
}

void ServerOptions::storeText(QString &field, const char *key, const QString &value)
{
    field = value;
    m_store.write(kServer, QLatin1String(key), value);
    emit changed();
}

void ServerOptions::storeCheck(const char *section, const char *key, int value)
{
    m_store.writeCheck(QLatin1String(section), QLatin1String(key), value);
}

// The storage root is a folder path ending in "/". Empty, "0", or a Windows
// drive path from another installation give the home folder.
QString ServerOptions::usableDrive(const QString &text) const
{
    QString drive = text.trimmed();
    if (drive.isEmpty() || drive == QLatin1String("0") || !QDir::isAbsolutePath(drive) || drive.contains(QLatin1Char('\\')))
        drive = m_homeFolder;
    if (!drive.endsWith(QLatin1Char('/')))
        drive += QLatin1Char('/');
    return drive;
}

void ServerOptions::load()
{
    m_loaded = true;
    // Check boxes: a value that differs from the box's design state is
    // stored again, as its click handling would.
    auto loadCheck = [&](const char *section, const char *key, int &field) {
        const int design = field;
        field = m_store.readCheck(QLatin1String(section), QLatin1String(key));
        if (field != design)
            storeCheck(section, key, field);
    };
    loadCheck(SettingsStore::Server, "chkAuotEcho", m_autoEcho);
    loadCheck(SettingsStore::Server, "chkStorebyInst", m_storeByInst);
    loadCheck(SettingsStore::Server, "chkDisregardDuplicates", m_disregardDuplicates);
    loadCheck(SettingsStore::Main, "chkDisregardDifferentName", m_checkDifferentName);
    loadCheck(SettingsStore::Server, "chkCheckRequestNum", m_checkRequestNum);
    loadCheck(SettingsStore::Server, "chkSavetoDBbeforeSaveImage", m_saveDbFirst);
    m_saveDbBeforeImage = m_saveDbFirst;

    // Of the profiles whose key holds "True", the last in this order wins.
    const std::pair<const char *, SiteProfile> profiles[] = {{"optORVIK", SiteProfile::ORVIK},
                                                             {"optQuillstad", SiteProfile::Quillstad},
                                                             {"optBrackmoor", SiteProfile::Brackmoor},
                                                             {"optNone", SiteProfile::None}};
    for (const auto &[key, profile] : profiles)
        if (m_store.readOption(kMain, QLatin1String(key)))
            m_profile = profile;

    setPort(m_store.read(kServer, QStringLiteral("PORT")));
    setAeName(m_store.read(kServer, QStringLiteral("AEName")));
    m_storageAE = m_store.read(kServer, QStringLiteral("StorageAE"));
    m_storageNode = m_store.read(kServer, QStringLiteral("StorageNode"));
    m_storagePort = m_store.read(kServer, QStringLiteral("StoragePort"));

    const bool disregard = roundedValue(m_store.read(kMain, QStringLiteral("optDisregard"))) == 1;
    if (disregard != m_optDisregard) {
        m_optDisregard = disregard;
        if (disregard) {
            m_optCreateTempId = false;
            m_store.write(kMain, QStringLiteral("optDisregard"), QStringLiteral("1"));
        }
    }
    if (roundedValue(m_store.read(kMain, QStringLiteral("optCreateTempID"))) == 1)
        selectCreateTempId();
    else
        m_optCreateTempId = false;

    const QString storedDrive = m_store.read(kServer, QStringLiteral("ServerDrive"));
    m_drive = usableDrive(storedDrive);
    m_jpegQuality = QString::number(qint64(numericValue(m_store.read(kServer, QStringLiteral("JPEGQuality")))));

    loadCheck(SettingsStore::Main, "chkHospNumExist", m_hospNumExist);
    loadCheck(SettingsStore::Server, "chkUseCallingRemoteIP", m_useCallingRemoteIp);
    loadCheck(SettingsStore::Server, "chkAcceptKnownAETsOnly", m_acceptKnownOnly);
    loadCheck(SettingsStore::Server, "chkCheckCallerAddress", m_checkCallerAddress);
    loadCheck(SettingsStore::Server, "chkTLSOutgoing", m_tlsOutgoing);
    m_tlsCertificate = m_store.read(kServer, QStringLiteral("TLSCertificate"));
    m_tlsPrivateKey = m_store.read(kServer, QStringLiteral("TLSPrivateKey"));
    m_tlsTrusted = m_store.read(kServer, QStringLiteral("TLSTrustedCertificates"));

    if (m_store.contains(kServer, QStringLiteral("ServerDrive")) && m_drive != storedDrive)
        m_store.write(kServer, QStringLiteral("ServerDrive"), m_drive);
    if (m_port.isEmpty())
        setPort(QStringLiteral("104"));
    emit changed();
}

#define PACS_CHECK_SETTER(name, field, section, key)                                                                   \
    void ServerOptions::name(int v)                                                                                    \
    {                                                                                                                  \
        field = v;                                                                                                     \
        storeCheck(section, key, v);                                                                                   \
        emit changed();                                                                                                \
    }
PACS_CHECK_SETTER(setAutoEcho, m_autoEcho, SettingsStore::Server, "chkAuotEcho")
PACS_CHECK_SETTER(setStoreByInstitution, m_storeByInst, SettingsStore::Server, "chkStorebyInst")
PACS_CHECK_SETTER(setDisregardDuplicates, m_disregardDuplicates, SettingsStore::Server, "chkDisregardDuplicates")
PACS_CHECK_SETTER(setCheckDifferentName, m_checkDifferentName, SettingsStore::Main, "chkDisregardDifferentName")
PACS_CHECK_SETTER(setCheckRequestNumber, m_checkRequestNum, SettingsStore::Server, "chkCheckRequestNum")
PACS_CHECK_SETTER(setHospNumExists, m_hospNumExist, SettingsStore::Main, "chkHospNumExist")
PACS_CHECK_SETTER(setUseCallingRemoteIp, m_useCallingRemoteIp, SettingsStore::Server, "chkUseCallingRemoteIP")
PACS_CHECK_SETTER(setAcceptKnownAETsOnly, m_acceptKnownOnly, SettingsStore::Server, "chkAcceptKnownAETsOnly")
PACS_CHECK_SETTER(setCheckCallerAddress, m_checkCallerAddress, SettingsStore::Server, "chkCheckCallerAddress")
PACS_CHECK_SETTER(setTlsOutgoing, m_tlsOutgoing, SettingsStore::Server, "chkTLSOutgoing")
#undef PACS_CHECK_SETTER

void ServerOptions::setSaveToDbBeforeImage(int v)
{
    m_saveDbFirst = v;
    m_saveDbBeforeImage = v;
    storeCheck(SettingsStore::Server, "chkSavetoDBbeforeSaveImage", v);
    emit changed();
}

// Only the chosen profile's key holds "True": the load applies the last
// "True" in its order, so a profile left behind would come back at the next
// start and override the operator's choice.
void ServerOptions::selectSiteProfile(SiteProfile profile)
{
    m_profile = profile;
    const std::pair<const char *, SiteProfile> kept[] = {{"optORVIK", SiteProfile::ORVIK},
                                                         {"optQuillstad", SiteProfile::Quillstad},
                                                         {"optBrackmoor", SiteProfile::Brackmoor},
                                                         {"optNone", SiteProfile::None}};
    for (const auto &[key, option] : kept)
        if (option == profile || m_store.readOption(kMain, QLatin1String(key)))
            m_store.write(kMain, QLatin1String(key), option == profile ? QStringLiteral("True") : QStringLiteral("False"));
    emit changed();
    emit siteProfileChanged();
}

// Both keys are written: the load selects "Create _temp ID" whenever its key
// holds 1, so a stale 1 would undo a later choice of "Disregard".
void ServerOptions::selectDisregard()
{
    m_optDisregard = true;
    m_optCreateTempId = false;
    m_store.write(kMain, QStringLiteral("optDisregard"), QStringLiteral("1"));
    m_store.write(kMain, QStringLiteral("optCreateTempID"), QStringLiteral("0"));
    emit changed();
}

void ServerOptions::selectCreateTempId()
{
    m_optCreateTempId = true;
    m_optDisregard = false;
    m_store.write(kMain, QStringLiteral("optCreateTempID"), QStringLiteral("1"));
    m_store.write(kMain, QStringLiteral("optDisregard"), QStringLiteral("0"));
    emit changed();
}

int ServerOptions::portNumber() const
{
    return roundedValue(m_port);
}

void ServerOptions::setPort(const QString &v)
{
    storeText(m_port, "PORT", v);
}

void ServerOptions::setAeName(const QString &v)
{
    storeText(m_aeName, "AEName", v);
}

void ServerOptions::setStorageAE(const QString &v)
{
    storeText(m_storageAE, "StorageAE", v);
}

void ServerOptions::setStorageNode(const QString &v)
{
    storeText(m_storageNode, "StorageNode", v);
}

void ServerOptions::setStoragePort(const QString &v)
{
    storeText(m_storagePort, "StoragePort", v);
}

void ServerOptions::setStorageRoot(const QString &v)
{
    m_drive = usableDrive(v);
    m_store.write(kServer, QStringLiteral("ServerDrive"), m_drive);
    emit changed();
}

void ServerOptions::setJpegQuality(const QString &v)
{
    storeText(m_jpegQuality, "JPEGQuality", v);
}

void ServerOptions::setTlsCertificate(const QString &v)
{
    storeText(m_tlsCertificate, "TLSCertificate", v.trimmed());
}

void ServerOptions::setTlsPrivateKey(const QString &v)
{
    storeText(m_tlsPrivateKey, "TLSPrivateKey", v.trimmed());
}

void ServerOptions::setTlsTrustedCertificates(const QString &v)
{
    storeText(m_tlsTrusted, "TLSTrustedCertificates", v.trimmed());
}

} // namespace pacs

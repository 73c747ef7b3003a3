#pragma once

#include <QObject>
#include <QString>

namespace pacs {

class SettingsStore;

// The working values of the settings dialog: every setting other than the
// main window's own. Loaded from the store once, on first use; every change
// is written back at once, as the dialog's controls do. Other parts of the
// program read the values here, not the store.
class ServerOptions : public QObject
{
    Q_OBJECT
public:
    enum class SiteProfile { NoneSelected, ORVIK, Quillstad, Brackmoor, None, Tessmark };

    ServerOptions(SettingsStore &store, const QString &homeFolder, QObject *parent = nullptr);

    // Reads every key, in the dialog's order, storing what a load stores.
    void load();
    bool isLoaded() const { return m_loaded; }

    // Check boxes (1 checked, 0 unchecked).
    int autoEcho() const { return m_autoEcho; }
    int storeByInstitution() const { return m_storeByInst; }
    int disregardDuplicates() const { return m_disregardDuplicates; }
    int checkDifferentName() const { return m_checkDifferentName; }
    int checkRequestNumber() const { return m_checkRequestNum; }
    int saveToDbBeforeImage() const { return m_saveDbFirst; }
    int hospNumExists() const { return m_hospNumExist; }
    int useCallingRemoteIp() const { return m_useCallingRemoteIp; }
    bool traceMode() const { return m_traceMode; }
    // Access control (off by default): only callers listed in RemoteAETs, and
    // with the second box also only from that row's address.
    int acceptKnownAETsOnly() const { return m_acceptKnownOnly; }
    int checkCallerAddress() const { return m_checkCallerAddress; }
    // DICOM TLS for outgoing associations too, when TLS is configured.
    int tlsOutgoing() const { return m_tlsOutgoing; }
    void setAutoEcho(int v);
    void setStoreByInstitution(int v);
    void setDisregardDuplicates(int v);
    void setCheckDifferentName(int v);
    void setCheckRequestNumber(int v);
    void setSaveToDbBeforeImage(int v);
    void setHospNumExists(int v);
    void setUseCallingRemoteIp(int v);
    void setAcceptKnownAETsOnly(int v);
    void setCheckCallerAddress(int v);
    void setTlsOutgoing(int v);
    // Not kept: every run starts with Trace Mode off.
    void setTraceMode(bool v) { m_traceMode = v; }

    // The program-wide copy reception reads: 1 writes the image row first.
    int saveDbBeforeImage() const { return m_saveDbBeforeImage; }

    SiteProfile siteProfile() const { return m_profile; }
    // Selecting a profile stores "True" under its key and "False" under the
    // others that held "True" (Tessmark itself is not kept).
    void selectSiteProfile(SiteProfile profile);

    // Identity-conflict options: exactly one of the two may be selected.
    bool disregardSelected() const { return m_optDisregard; }
    bool createTempIdSelected() const { return m_optCreateTempId; }
    void selectDisregard();
    void selectCreateTempId();
    bool sameIdFrameEnabled() const { return m_checkDifferentName == 1; }

    // Texts. Port and AE title are stored on every change, the others when
    // the operator leaves the field; both call these setters then.
    QString port() const { return m_port; }
    int portNumber() const;
    QString aeName() const { return m_aeName; }
    QString storageAE() const { return m_storageAE; }
    QString storageNode() const { return m_storageNode; }
    QString storagePort() const { return m_storagePort; }
    QString storageRoot() const { return m_drive; } // folder path ending in "/"
    QString jpegQuality() const { return m_jpegQuality; }
    // DICOM TLS: PEM files of this node's certificate and key (both set: TLS
    // on) and of the authorities whose peers are trusted (empty: any peer).
    QString tlsCertificate() const { return m_tlsCertificate; }
    QString tlsPrivateKey() const { return m_tlsPrivateKey; }
    QString tlsTrustedCertificates() const { return m_tlsTrusted; }
    void setPort(const QString &v);
    void setAeName(const QString &v);
    void setStorageAE(const QString &v);
    void setStorageNode(const QString &v);
    void setStoragePort(const QString &v);
    void setStorageRoot(const QString &v);
    void setJpegQuality(const QString &v);
    void setTlsCertificate(const QString &v);
    void setTlsPrivateKey(const QString &v);
    void setTlsTrustedCertificates(const QString &v);

signals:
    void changed();
    // The operator chose another site profile (not emitted by the load).
    void siteProfileChanged();

private:
    void storeCheck(const char *section, const char *key, int value);
    void storeText(QString &field, const char *key, const QString &value);
    QString usableDrive(const QString &text) const;

    SettingsStore &m_store;
    QString m_homeFolder;
    bool m_loaded = false;
    int m_autoEcho = 0;
    int m_storeByInst = 1;
    int m_disregardDuplicates = 1;
    int m_checkDifferentName = 0;
    int m_checkRequestNum = 0;
    int m_saveDbFirst = 1;
    int m_hospNumExist = 0;
    int m_useCallingRemoteIp = 0;
    int m_acceptKnownOnly = 0;
    int m_checkCallerAddress = 0;
    int m_tlsOutgoing = 1;
    bool m_traceMode = false;
    int m_saveDbBeforeImage = 1;
    SiteProfile m_profile = SiteProfile::NoneSelected;
    bool m_optDisregard = true;
    bool m_optCreateTempId = false;
    QString m_port;
    QString m_aeName;
    QString m_storageAE;
    QString m_storageNode;
    QString m_storagePort;
    QString m_drive;
    QString m_jpegQuality = QStringLiteral("0");
    QString m_tlsCertificate;
    QString m_tlsPrivateKey;
    QString m_tlsTrusted;
};

} // namespace pacs

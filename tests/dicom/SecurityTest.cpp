// Access control by calling AE title (and address) and DICOM TLS, against
// DCMTK's own tools: echoscu and storescu over TLS and in the clear, storescp
// as a TLS destination.

#include "dicom/CallerAccess.h"
#include "dicom/toolkit/ToolkitTls.h"
#include "tests/dicom/ReceptionFixture.h"
#include "tests/support/Peers.h"
#include "tools/FolderTransmit.h"

#include <QDir>
#include <QFile>
#include <QProcess>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace pacs;
using namespace pacs::test;

namespace {

// A test authority, the archive's certificate and a peer's, signed by it, and
// a peer certificate from an authority the archive does not trust.
struct TlsFiles
{
    QString caCert, archiveKey, archiveCert, peerKey, peerCert, strangerKey, strangerCert;
};

bool openssl(const QStringList &arguments, QString *output)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("openssl"), arguments);
    const bool done = process.waitForFinished(60000);
    *output += QString::fromLocal8Bit(process.readAll());
    return done && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

// Makes `name`.key and `name`.crt in `folder`: self-signed without `ca`, else signed by it.
bool makeCertificate(const QString &folder, const QString &name, const QString &ca, QString *output)
{
    const QString key = folder + "/" + name + ".key", cert = folder + "/" + name + ".crt";
    const QString subject = "/CN=" + name;
    if (ca.isEmpty())
        return openssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert, "-days", "2",
                        "-subj", subject},
                       output);
    const QString request = folder + "/" + name + ".csr";
    return openssl({"req", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", request, "-subj", subject}, output)
           && openssl({"x509", "-req", "-in", request, "-CA", folder + "/" + ca + ".crt", "-CAkey",
                       folder + "/" + ca + ".key", "-CAcreateserial", "-out", cert, "-days", "2"},
                      output);
}

class SecurityFixture : public ReceptionFixture
{
protected:
    void TearDown() override
    {
        ReceptionFixture::TearDown();
        toolkit::ToolkitTls::configure({}); // TLS is process-wide
    }

    void makeTlsFiles()
    {
        const QString folder = scratch.path("tls");
        ASSERT_TRUE(QDir().mkpath(folder));
        QString output;
        ASSERT_TRUE(makeCertificate(folder, "ca", {}, &output) && makeCertificate(folder, "archive", "ca", &output)
                    && makeCertificate(folder, "peer", "ca", &output) && makeCertificate(folder, "otherca", {}, &output)
                    && makeCertificate(folder, "stranger", "otherca", &output))
            << output.toStdString();
        tls = {folder + "/ca.crt",   folder + "/archive.key",  folder + "/archive.crt", folder + "/peer.key",
               folder + "/peer.crt", folder + "/stranger.key", folder + "/stranger.crt"};
    }

    void configureTls(bool trustedOnly)
    {
        setSetting("SERVER", "TLSCertificate", tls.archiveCert);
        setSetting("SERVER", "TLSPrivateKey", tls.archiveKey);
        if (trustedOnly)
            setSetting("SERVER", "TLSTrustedCertificates", tls.caCert);
    }

    QStringList peerTls() const { return {"+tls", tls.peerKey, tls.peerCert, "+cf", tls.caCert}; }

    ToolResult echo(const QString &calling, const QStringList &extra = {})
    {
        return runTool("echoscu", QStringList{"-aet", calling, "-aec", "TALMIR"} + extra
                                      + QStringList{"127.0.0.1", QString::number(port())});
    }

    void addRemoteAet(const QString &title, const QString &address)
    {
        m_controller->connection().ExecuteSQL(
            QString("insert into RemoteAETs (RemoteAET, IPAddress, Port) values ('%1', '%2', 104)").arg(title, address));
    }

    TlsFiles tls;
};

TEST_F(SecurityFixture, OnlyKnownCallersAreAcceptedWhenAccessControlIsOn)
{
    setSetting("SERVER", "chkAcceptKnownAETsOnly", "1");
    start();
    addRemoteAet("MODALITY", "127.0.0.1");

    EXPECT_EQ(echo("MODALITY").exitCode, 0);
    const ToolResult stranger = echo("STRANGER");
    EXPECT_NE(stranger.exitCode, 0);
    EXPECT_TRUE(stranger.output.contains("Calling AE Title Not Recognized")) << stranger.output.toStdString();
    EXPECT_TRUE(logText().contains("Association refused: STRANGER is not a known AE title")) << logText().toStdString();
    // AE titles are compared exactly.
    EXPECT_NE(echo("modality").exitCode, 0);

    // A store from an unknown caller leaves nothing behind; a known one is stored.
    SampleSpec spec;
    const QString file = sample("one", spec);
    const StoreOutcome refused = storeFiles(port(), {file}, {"-aet", "STRANGER"});
    EXPECT_EQ(refused.success, 0);
    EXPECT_EQ(count("select count(*) from ImageTable"), 0);
    EXPECT_EQ(send({file}).success, 1) << logText().toStdString();
    EXPECT_EQ(count("select count(*) from ImageTable"), 1);

    // With the address check too, the caller must come from its row's address.
    m_controller->options().setCheckCallerAddress(1);
    EXPECT_EQ(echo("MODALITY").exitCode, 0);
    m_controller->connection().ExecuteSQL("update RemoteAETs set IPAddress='127.0.0.2' where RemoteAET='MODALITY'");
    EXPECT_NE(echo("MODALITY").exitCode, 0);
    EXPECT_TRUE(logText().contains("MODALITY calls from 127.0.0.1, not from its address 127.0.0.2")) << logText().toStdString();
    m_controller->connection().ExecuteSQL("update RemoteAETs set IPAddress='::ffff:127.0.0.1' where RemoteAET='MODALITY'");
    EXPECT_EQ(echo("MODALITY").exitCode, 0); // the mapped form names the same host

    // Switched off again, anyone may call.
    m_controller->options().setAcceptKnownAETsOnly(0);
    EXPECT_EQ(echo("STRANGER").exitCode, 0);
}

TEST_F(SecurityFixture, TheListenerSpeaksTlsOnlyAndTrustsOnlyItsAuthority)
{
    makeTlsFiles();
    configureTls(true);
    start();
    EXPECT_TRUE(m_controller->server().listener().isSecure());
    EXPECT_TRUE(logText().contains("DICOM TLS on; peers need a certificate from " + tls.caCert)) << logText().toStdString();

    // Silent connections mid-handshake hold up nobody.
    std::vector<int> idle;
    for (int i = 0; i < 3; ++i) {
        const int s = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(quint16(port()));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::connect(s, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
        idle.push_back(s);
    }
    const ToolResult secure = echo("MODALITY", peerTls());
    EXPECT_EQ(secure.exitCode, 0) << secure.output.toStdString();
    for (int s : idle)
        ::close(s);

    EXPECT_NE(echo("MODALITY").exitCode, 0); // in the clear
    const ToolResult stranger = echo("MODALITY", {"+tls", tls.strangerKey, tls.strangerCert, "+cf", tls.caCert});
    EXPECT_NE(stranger.exitCode, 0) << stranger.output.toStdString();

    SampleSpec spec;
    const StoreOutcome stored = storeFiles(port(), {sample("one", spec)}, peerTls());
    EXPECT_EQ(stored.success, 1) << stored.output.toStdString();
    EXPECT_EQ(count("select count(*) from ImageTable"), 1);
    EXPECT_TRUE(waitForStoredForm());

    // Queries over TLS are answered too.
    const ToolResult found = runTool("findscu", peerTls() + QStringList{"-v", "-S", "-aet", "MODALITY", "-aec", "TALMIR", "-k",
                                                                        "QueryRetrieveLevel=STUDY", "-k", "StudyInstanceUID",
                                                                        "127.0.0.1", QString::number(port())});
    EXPECT_EQ(found.exitCode, 0) << found.output.toStdString();
    EXPECT_EQ(found.output.count("Find Response: 1 (Pending)"), 1) << found.output.toStdString();
}

TEST_F(SecurityFixture, OutgoingAssociationsUseTlsAsConfigured)
{
    makeTlsFiles();
    configureTls(false); // the archive checks no peer certificate
    start();
    EXPECT_TRUE(logText().contains("DICOM TLS on; peer certificates are not checked")) << logText().toStdString();
    // Any TLS peer may call when no authority is configured.
    EXPECT_EQ(echo("MODALITY", {"+tls", tls.strangerKey, tls.strangerCert, "-ic"}).exitCode, 0);

    // The destination demands a certificate from the authority: the archive's is.
    const QString received = scratch.path("received");
    ASSERT_TRUE(QDir().mkpath(received));
    StoreScpProcess destination(received, "DEST", {"+tls", tls.peerKey, tls.peerCert, "+cf", tls.caCert});
    ASSERT_TRUE(destination.isReady()) << destination.output().toStdString();
    const QString outgoing = scratch.path("outgoing");
    ASSERT_TRUE(QDir().mkpath(outgoing));
    SampleSpec spec;
    ASSERT_FALSE(writeSample(outgoing + "/a.dcm", spec).isEmpty());
    ServerOptions &options = m_controller->options();
    options.setStorageNode("127.0.0.1");
    options.setStoragePort(QString::number(destination.port()));
    options.setStorageAE("DEST");
    {
        tools::FolderTransmit transmit(options);
        EXPECT_TRUE(transmit.Transmit(outgoing, "dcm")) << transmit.errorMessage().toStdString();
    }
    EXPECT_TRUE(waitUntil([&] { return destination.receivedFiles().size() == 1; }, 20000))
        << destination.output().toStdString();

    // Outgoing in the clear when so chosen: the TLS destination refuses it.
    options.setTlsOutgoing(0);
    m_controller->server().followPortChange();
    EXPECT_TRUE(m_controller->server().listener().isSecure());
    {
        tools::FolderTransmit transmit(options);
        EXPECT_FALSE(transmit.Transmit(outgoing, "dcm"));
    }
    EXPECT_EQ(destination.receivedFiles().size(), 1);
}

TEST_F(SecurityFixture, TlsFilesThatCannotBeLoadedKeepTheListenerAndSendsFromRunningInTheClear)
{
    makeTlsFiles();
    setSetting("SERVER", "TLSCertificate", tls.archiveCert);
    setSetting("SERVER", "TLSPrivateKey", tls.peerKey); // not the certificate's key
    m_controller->load();
    EXPECT_FALSE(m_controller->server().listener().isListening());
    EXPECT_TRUE(errors().contains("TLS: the private key " + tls.peerKey + " does not belong to the certificate "
                                  + tls.archiveCert))
        << errors().toStdString();

    ServerOptions &options = m_controller->options();
    options.setStorageNode("127.0.0.1");
    options.setStoragePort("104");
    options.setStorageAE("DEST");
    const QString outgoing = scratch.path("outgoing");
    ASSERT_TRUE(QDir().mkpath(outgoing));
    SampleSpec spec;
    ASSERT_FALSE(writeSample(outgoing + "/a.dcm", spec).isEmpty());
    tools::FolderTransmit transmit(options);
    EXPECT_FALSE(transmit.Transmit(outgoing, "dcm"));
    EXPECT_TRUE(transmit.errorMessage().contains("does not belong to the certificate")) << transmit.errorMessage().toStdString();

    // Mended files: the listener starts with TLS when listening is switched on again.
    options.setTlsPrivateKey(tls.archiveKey);
    m_controller->setListenServer(false);
    m_controller->setListenServer(true);
    EXPECT_TRUE(m_controller->server().listener().isListening()) << logText().toStdString();
    EXPECT_TRUE(m_controller->server().listener().isSecure());
    EXPECT_EQ(echo("MODALITY", {"+tls", tls.peerKey, tls.peerCert, "-ic"}).exitCode, 0);
}

TEST(CallerAddress, AddressesCompareAsAddressesAndNamesMatchNothing)
{
    EXPECT_TRUE(CallerAccess::sameAddress("127.0.0.1", "127.0.0.1"));
    EXPECT_TRUE(CallerAccess::sameAddress(" 10.1.1.20 ", "::ffff:10.1.1.20"));
    EXPECT_TRUE(CallerAccess::sameAddress("fe80::1", "FE80:0:0::1"));
    EXPECT_FALSE(CallerAccess::sameAddress("10.1.1.20", "10.1.1.21"));
    EXPECT_FALSE(CallerAccess::sameAddress("localhost", "127.0.0.1"));
    EXPECT_FALSE(CallerAccess::sameAddress("", "127.0.0.1"));
}

} // namespace

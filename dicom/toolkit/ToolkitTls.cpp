#include "dicom/toolkit/ToolkitTls.h"

#include "dicom/toolkit/detail/Runtime.h"
#include "dicom/toolkit/detail/TlsLayers.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmtls/tlslayer.h>

#include <QFileInfo>

#include <mutex>

namespace pacs::toolkit {

namespace {

std::mutex &stateMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<const detail::TlsLayers> &state()
{
    static std::shared_ptr<const detail::TlsLayers> layers = std::make_shared<detail::TlsLayers>();
    return layers;
}

QString readableFile(const QString &what, const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return QStringLiteral("TLS: the %1 %2 does not exist").arg(what, path);
    if (!info.isFile() || !info.isReadable())
        return QStringLiteral("TLS: the %1 %2 cannot be read").arg(what, path);
    return {};
}

std::shared_ptr<DcmTLSTransportLayer> makeLayer(T_ASC_NetworkRole role, const ToolkitTlsFiles &files, QString &error)
{
    const QString certificate = files.certificate.trimmed();
    const QString key = files.privateKey.trimmed();
    const QString trusted = files.trusted.trimmed();
    for (const auto &[what, path] : {std::pair{QStringLiteral("certificate"), certificate},
                                     std::pair{QStringLiteral("private key"), key}}) {
        error = readableFile(what, path);
        if (!error.isEmpty())
            return nullptr;
    }
    if (!trusted.isEmpty()) {
        error = readableFile(QStringLiteral("trusted certificates file"), trusted);
        if (!error.isEmpty())
            return nullptr;
    }
    auto layer = std::make_shared<DcmTLSTransportLayer>(role, nullptr, OFTrue);
    if (!*layer) {
        error = QStringLiteral("TLS: OpenSSL could not be set up");
        return nullptr;
    }
    const auto failed = [&error](const OFCondition &cond, const QString &what) {
        if (cond.good())
            return false;
        error = QStringLiteral("TLS: %1: %2").arg(what, QString::fromLatin1(cond.text()));
        return true;
    };
    // TLS 1.2 or later with the ciphers of the current best-practice profile.
    if (failed(layer->setTLSProfile(TSP_Profile_BCP195), QStringLiteral("the security profile"))
        || failed(layer->activateCipherSuites(), QStringLiteral("the cipher suites")))
        return nullptr;
    const QByteArray keyPath = key.toLocal8Bit();
    const QByteArray certificatePath = certificate.toLocal8Bit();
    if (failed(layer->setPrivateKeyFile(keyPath.constData(), DCF_Filetype_PEM),
               QStringLiteral("cannot load the private key ") + key)
        || failed(layer->setCertificateFile(certificatePath.constData(), DCF_Filetype_PEM),
                  QStringLiteral("cannot load the certificate ") + certificate))
        return nullptr;
    if (!layer->checkPrivateKeyMatchesCertificate()) {
        error = QStringLiteral("TLS: the private key %1 does not belong to the certificate %2").arg(key, certificate);
        return nullptr;
    }
    if (trusted.isEmpty()) {
        // Encrypted, but anyone may connect and any server is believed.
        layer->setCertificateVerification(DCV_ignoreCertificate);
    } else {
        const QByteArray trustedPath = trusted.toLocal8Bit();
        if (failed(layer->addTrustedCertificateFile(trustedPath.constData(), DCF_Filetype_PEM),
                   QStringLiteral("cannot load the trusted certificates ") + trusted))
            return nullptr;
        layer->setCertificateVerification(DCV_requireCertificate);
    }
    return layer;
}

} // namespace

namespace detail {
std::shared_ptr<const TlsLayers> currentTlsLayers()
{
    std::lock_guard lock(stateMutex());
    return state();
}
} // namespace detail

bool ToolkitTls::configure(const ToolkitTlsFiles &files, QString *error)
{
    detail::initializeRuntime();
    auto layers = std::make_shared<detail::TlsLayers>();
    if (files.enabled()) {
        QString failure;
        layers->acceptor = makeLayer(NET_ACCEPTOR, files, failure);
        if (layers->acceptor && files.outgoing)
            layers->requestor = makeLayer(NET_REQUESTOR, files, failure);
        if (!failure.isEmpty()) {
            layers->acceptor.reset();
            layers->requestor.reset();
            layers->failure = failure;
        }
    }
    if (error)
        *error = layers->failure;
    const bool ok = layers->failure.isEmpty();
    std::lock_guard lock(stateMutex());
    state() = std::move(layers);
    return ok;
}

bool ToolkitTls::listenerSecure()
{
    return detail::currentTlsLayers()->acceptor != nullptr;
}

bool ToolkitTls::outgoingSecure()
{
    return detail::currentTlsLayers()->requestor != nullptr;
}

QString ToolkitTls::failure()
{
    return detail::currentTlsLayers()->failure;
}

} // namespace pacs::toolkit

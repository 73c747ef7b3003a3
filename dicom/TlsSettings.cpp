#include "dicom/TlsSettings.h"

#include "core/ServerOptions.h"
#include "dicom/toolkit/ToolkitTls.h"

namespace pacs {

bool applyTlsSettings(const ServerOptions &options, QString *error)
{
    toolkit::ToolkitTlsFiles files;
    files.certificate = options.tlsCertificate();
    files.privateKey = options.tlsPrivateKey();
    files.trusted = options.tlsTrustedCertificates();
    files.outgoing = options.tlsOutgoing() == 1;
    return toolkit::ToolkitTls::configure(files, error);
}

} // namespace pacs

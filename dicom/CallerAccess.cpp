#include "dicom/CallerAccess.h"

#include "core/ServerOptions.h"
#include "db/ArchiveConnection.h"
#include "db/ResultSet.h"
#include "db/SqlText.h"

#include <arpa/inet.h>

#include <array>
#include <cstring>
#include <optional>

namespace pacs {

namespace {
// An address as 16 bytes of IPv6 (IPv4 as its mapped form), or none for a name.
std::optional<std::array<unsigned char, 16>> parsedAddress(const QString &text)
{
    const QByteArray latin = text.trimmed().toLatin1();
    std::array<unsigned char, 16> bytes{};
    in_addr v4{};
    if (::inet_pton(AF_INET, latin.constData(), &v4) == 1) {
        bytes[10] = bytes[11] = 0xff;
        std::memcpy(bytes.data() + 12, &v4, 4);
        return bytes;
    }
    in6_addr v6{};
    if (::inet_pton(AF_INET6, latin.constData(), &v6) == 1) {
        std::memcpy(bytes.data(), &v6, 16);
        return bytes;
    }
    return std::nullopt;
}
} // namespace

CallerAccess::CallerAccess(db::ArchiveConnection &connection, const ServerOptions &options)
    : m_connection(connection), m_options(options)
{
}

bool CallerAccess::sameAddress(const QString &configured, const QString &peer)
{
    const auto a = parsedAddress(configured);
    const auto b = parsedAddress(peer);
    return a && b && *a == *b;
}

bool CallerAccess::admits(const QString &callingTitle, const QString &address, QString *reason) const
{
    if (m_options.acceptKnownAETsOnly() != 1)
        return true;
    const auto refuse = [reason](const QString &why) {
        if (reason)
            *reason = why;
        return false;
    };
    bool failed = false;
    db::ResultSet rows = m_connection.ExecuteSQL(QStringLiteral("SELECT * from DICOM..RemoteAETs where remoteaet= '")
                                                     + db::Quote(callingTitle) + QStringLiteral("'"),
                                                 failed);
    if (failed)
        return refuse(QStringLiteral("the list of known AE titles cannot be read"));
    // The lookup may ignore letter case; AE titles are compared exactly.
    QString configuredAddress;
    bool found = false;
    for (; !rows.isNone() && !rows.atEnd(); rows.moveNext()) {
        if (rows.text(QStringLiteral("RemoteAET")).trimmed() == callingTitle.trimmed()) {
            configuredAddress = rows.text(QStringLiteral("IPAddress")).trimmed();
            found = true;
            break;
        }
    }
    rows.close();
    if (!found)
        return refuse(callingTitle.isEmpty() ? QStringLiteral("no calling AE title")
                                             : callingTitle + QStringLiteral(" is not a known AE title"));
    if (m_options.checkCallerAddress() == 1 && !sameAddress(configuredAddress, address))
        return refuse(QStringLiteral("%1 calls from %2, not from its address %3")
                          .arg(callingTitle, address, configuredAddress.isEmpty() ? QStringLiteral("(none)")
                                                                                   : configuredAddress));
    return true;
}

} // namespace pacs

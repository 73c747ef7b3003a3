#pragma once

// Which callers may open an association. Off by default: every caller is
// taken in. With "accept known AE titles only", a caller's AE title must be
// in RemoteAETs; with "check caller address" as well, the caller must also
// come from that row's IPAddress. A refused caller gets the standard
// rejection (calling AE title not recognized) and a log line saying why.

#include <QString>

namespace pacs {
class ServerOptions;
namespace db {
class ArchiveConnection;
}

class CallerAccess
{
public:
    CallerAccess(db::ArchiveConnection &connection, const ServerOptions &options);

    // True when the caller may associate; otherwise `reason` says why not.
    bool admits(const QString &callingTitle, const QString &address, QString *reason) const;

    // The two texts name the same host: equal addresses (an IPv4 address and
    // its IPv6-mapped form count as one). Names are not looked up: a lookup
    // on the main thread could hold up every association while DNS is slow.
    static bool sameAddress(const QString &configured, const QString &peer);

private:
    db::ArchiveConnection &m_connection;
    const ServerOptions &m_options;
};

} // namespace pacs

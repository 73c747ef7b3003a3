#pragma once

#include <QString>
#include <QStringList>

class QObject;

namespace pacs::tools {

class HostFramework;

// "Remote AETs": the list window of the known remote application entities
// (RemoteAETs: RemoteAET, IPAddress, Port) through the host framework. The
// retrieve service reads the table at every C-MOVE, so a destination added,
// changed or deleted here counts from the next request on.
class RemoteAets
{
public:
    static constexpr const char *Table = "REMOTEAETs";

    explicit RemoteAets(HostFramework &host) : m_host(host) {}

    // Sets up the framework, configures its browse object for the table and
    // asks for the list window over the dialog. False with the failure's
    // description, for the dialog's message box.
    bool cmdRemoteAET(QObject *dialog, QString &error);

    // A row about to be written: an AE title of 1 to 16 characters without
    // "\" or control characters, an address without blanks, a port from 1
    // to 65535. Empty when it is fine, else what is wrong.
    static QString checkRow(const QStringList &fields, const QStringList &values);

private:
    HostFramework &m_host;
};

} // namespace pacs::tools

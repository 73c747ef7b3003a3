#include "tools/RemoteAets.h"

#include "tools/HostBrowse.h"
#include "tools/HostFramework.h"
#include "tools/HostProgram.h"

namespace pacs::tools {

bool RemoteAets::cmdRemoteAET(QObject *dialog, QString &error)
{
    if (!m_host.InitVorn(error))
        return false;
    HostProgram *program = m_host.module().Program();
    if (!program) {
        error = QStringLiteral("The host framework has no program object.");
        return false;
    }
    program->setStaffAllowEdit(true);
    program->setStaffAllowDelete(true);
    HostBrowse &browse = program->browse();
    browse.Init();
    browse.setPropTable(QStringLiteral("REMOTEAETs"));
    browse.setPropDatabaseName(QStringLiteral("DICOM"));
    browse.setPropOperation(QStringLiteral("AED"));
    browse.setPropFindField1(QString());
    browse.setPropFindLabel1(QString());
    browse.setPropParentWindow(dialog);
    browse.setPropFieldNameID(QStringLiteral("RemoteAET"));
    browse.setPropFieldNameDesc(QStringLiteral("IPAddress"));
    browse.setpropviewtoload(QStringLiteral("REMOTEAETS"));
    browse.setPropUseAuditStamps(false);
    m_host.program()->newbrowse();
    return true;
}

QString RemoteAets::checkRow(const QStringList &fields, const QStringList &values)
{
    auto valueOf = [&](const char *name) {
        for (qsizetype i = 0; i < fields.size(); ++i)
            if (fields[i].compare(QLatin1String(name), Qt::CaseInsensitive) == 0)
                return values.value(i).trimmed();
        return QString();
    };
    const QString aet = valueOf("RemoteAET");
    if (aet.isEmpty() || aet.size() > 16)
        return QStringLiteral("An AE title has 1 to 16 characters: ") + aet;
    for (const QChar c : aet)
        if (c == QLatin1Char('\\') || c.unicode() < 0x20 || c.unicode() > 0x7e)
            return QStringLiteral("An AE title has no \"\\\" and no control or non-ASCII characters: ") + aet;
    const QString address = valueOf("IPAddress");
    if (address.isEmpty() || address.contains(QLatin1Char(' ')))
        return QStringLiteral("Not a host name or IP address: ") + address;
    bool ok = false;
    const int port = valueOf("Port").toInt(&ok);
    if (!ok || port < 1 || port > 65535)
        return QStringLiteral("A port is a number from 1 to 65535: ") + valueOf("Port");
    return QString();
}

} // namespace pacs::tools

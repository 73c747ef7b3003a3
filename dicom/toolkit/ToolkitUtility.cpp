#include "dicom/toolkit/ToolkitUtility.h"

#include "dicom/toolkit/detail/Runtime.h"
#include "dicom/toolkit/detail/ScuAssociation.h"

#include <dcmtk/dcmdata/dcuid.h>

namespace pacs::toolkit {

QString ToolkitUtility::newUid()
{
    char uid[100];
    dcmGenerateUniqueIdentifier(uid, SITE_INSTANCE_UID_ROOT);
    return QString::fromLatin1(uid);
}

int ToolkitUtility::echoTest(const QString &address, int port, const QString &callingTitle,
                             const QString &calledTitle, QString *error)
{
    int status = -1;
    QString message;
    detail::runBlocking([&] {
        detail::ScuAssociation association;
        const std::vector<detail::ProposedContext> contexts{
            {UID_VerificationSOPClass, {UID_LittleEndianExplicitTransferSyntax, UID_LittleEndianImplicitTransferSyntax}}};
        if (!association.open(address, port, callingTitle, calledTitle, contexts, &message))
            return;
        status = association.echo(&message);
        association.release();
    });
    if (error)
        *error = message;
    return status;
}

bool ToolkitUtility::waitForNetworkThreads(int milliseconds)
{
    return detail::waitForNetworkTasks(milliseconds);
}

} // namespace pacs::toolkit

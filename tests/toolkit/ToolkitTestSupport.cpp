#include "tests/toolkit/ToolkitTestSupport.h"

#include "tests/support/TestSupport.h"

#include <QCoreApplication>

namespace pacs::toolkit::test {

void Recorder::checkThread()
{
    if (QThread::currentThread() != QCoreApplication::instance()->thread())
        offMainThread = true;
}

void Recorder::associationRequest(ToolkitConnection &connection, bool &isOK)
{
    checkThread();
    callingTitles << connection.callingTitle();
    calledTitles << connection.calledTitle();
    offered << connection.offeredContexts();
    if (onAssociation)
        onAssociation(connection, isOK);
    else if (!connection.offeredContexts().isEmpty())
        isOK = true;
}

void Recorder::verifyReceived(ToolkitConnection &connection, int &status)
{
    checkThread();
    ++echoes;
    status = 0;
    if (onVerify)
        onVerify(connection, status);
}

void Recorder::imageReceived(ToolkitConnection &connection, ToolkitImage &image)
{
    checkThread();
    receivedUids << image.instanceUid();
    if (onImage) {
        onImage(connection, image);
        return;
    }
    const QString path = storeDir + QLatin1Char('/') + image.instanceUid() + QStringLiteral(".dcm");
    connection.setUserTag(image.instanceUid());
    connection.saveImageAsync(image, path, true, QStringLiteral("1.2.840.10008.1.2.4.57"));
}

void Recorder::queryRequest(ToolkitConnection &connection)
{
    checkThread();
    commands << connection.commandName();
    roots << connection.queryRoot();
    levels << connection.requestIdentifier().findAttribute(0x0008, 0x0052).attributeText();
    moveDestinations << connection.moveDestination();
    if (onQuery)
        onQuery(connection);
}

void Recorder::actionUpdate(ToolkitConnection &, const QString &, const QString &, int, int)
{
    checkThread();
    ++updates;
}

void Recorder::actionComplete(ToolkitConnection &connection, const QString &action, const QString &tag, bool success,
                              const QString &errorMessage)
{
    checkThread();
    completions << Completion{action, tag, success, errorMessage};
    if (onComplete) {
        onComplete(connection, action, success, errorMessage);
        return;
    }
    if (action == QLatin1String("SaveImage") && success) {
        savedPaths << storeDir + QLatin1Char('/') + connection.userTag() + QStringLiteral(".dcm");
        connection.setStatus(0);
    }
}

void Recorder::outgoingActionComplete(ToolkitConnection &connection, const QString &action, const QString &tag,
                                      bool success, const QString &errorMessage)
{
    checkThread();
    outgoingCompletions << Completion{action, tag, success, errorMessage};
    if (onOutgoingComplete)
        onOutgoingComplete(connection, action, success, errorMessage);
}

void Recorder::outgoingActionUpdate(ToolkitConnection &, const QString &, const QString &, int, int)
{
    checkThread();
    ++updates;
}

void Recorder::outgoingAssociationClosed(ToolkitConnection &)
{
    checkThread();
    ++outgoingClosed;
}

ListenerFixture::ListenerFixture()
{
    events.storeDir = dir.path() + QStringLiteral("/store");
    listener.startListening(0);
}

} // namespace pacs::toolkit::test

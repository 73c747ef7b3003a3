#pragma once

// ToolkitEvents: the one interface through which the toolkit reports to the
// program. Every method is called on the application's main thread; the
// network thread of the association waits for the handler (and for every
// asynchronous action the handler starts) before it answers the peer.
// Handlers may re-enter the event loop; other associations' events are still
// delivered then. All methods have empty defaults.

#include <QString>

namespace pacs::toolkit {

class ToolkitConnection;
class ToolkitImage;

class ToolkitEvents
{
public:
    virtual ~ToolkitEvents() = default;

    // A-ASSOCIATE-RQ. isOK comes in true when the peer offered at least one
    // presentation context; leaving it false rejects the association.
    virtual void associationRequest(ToolkitConnection &connection, bool &isOK);

    // C-ECHO. status comes in 0 (success).
    virtual void verifyReceived(ToolkitConnection &connection, int &status);

    // C-STORE. The answer goes out once the handler and every action it started
    // have finished, with the last status set through connection.setStatus();
    // with none set, a failure status: an image nobody stored is never acknowledged.
    virtual void imageReceived(ToolkitConnection &connection, ToolkitImage &image);

    // C-FIND, C-MOVE or C-GET: see commandName(), queryRoot(), requestIdentifier(),
    // moveDestination() on the connection.
    virtual void queryRequest(ToolkitConnection &connection);

    // Progress of an action on an incoming association ("SendImages": one per
    // sub-operation; responseType 1 = C-STORE response, lastResponse its status).
    virtual void actionUpdate(ToolkitConnection &connection, const QString &action, const QString &tag,
                              int responseType, int lastResponse);

    // An asynchronous action on an incoming association finished: "SaveImage",
    // "SendImages", "SetDestination" or "Sendverify". tag is the connection's
    // userTag when the action started.
    virtual void actionComplete(ToolkitConnection &connection, const QString &action, const QString &tag,
                                bool success, const QString &errorMessage);

    // The same for connections made with ToolkitListener::newConnection()
    // (also "Close" for closeAssociation()).
    virtual void outgoingActionComplete(ToolkitConnection &connection, const QString &action, const QString &tag,
                                        bool success, const QString &errorMessage);
    virtual void outgoingActionUpdate(ToolkitConnection &connection, const QString &action, const QString &tag,
                                      int responseType, int lastResponse);
    virtual void outgoingAssociationClosed(ToolkitConnection &connection);

    // A failure on a connection that no action completion reports: the
    // association broke (a command or dataset could not be received or
    // answered, the peer aborted, a time-out) or an event handler let an
    // exception out. errorMessage names the peer, the command and the reason,
    // e.g. "C-STORE with MODALITY: Peer aborted Association (or never connected)".
    virtual void connectionError(ToolkitConnection &connection, const QString &errorMessage);
};

inline void ToolkitEvents::associationRequest(ToolkitConnection &, bool &) {}
inline void ToolkitEvents::verifyReceived(ToolkitConnection &, int &) {}
inline void ToolkitEvents::imageReceived(ToolkitConnection &, ToolkitImage &) {}
inline void ToolkitEvents::queryRequest(ToolkitConnection &) {}
inline void ToolkitEvents::actionUpdate(ToolkitConnection &, const QString &, const QString &, int, int) {}
inline void ToolkitEvents::actionComplete(ToolkitConnection &, const QString &, const QString &, bool, const QString &) {}
inline void ToolkitEvents::outgoingActionComplete(ToolkitConnection &, const QString &, const QString &, bool,
                                                  const QString &)
{
}
inline void ToolkitEvents::outgoingActionUpdate(ToolkitConnection &, const QString &, const QString &, int, int) {}
inline void ToolkitEvents::outgoingAssociationClosed(ToolkitConnection &) {}
inline void ToolkitEvents::connectionError(ToolkitConnection &, const QString &) {}

} // namespace pacs::toolkit

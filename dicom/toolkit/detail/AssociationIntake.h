#pragma once

// Taking in a new association on its own thread. The listener only accepts
// TCP connections; everything that waits on the peer happens here, so a peer
// that connects and says nothing holds only its own thread.
//
// DCMTK reads the A-ASSOCIATE-RQ inside ASC_receiveAssociation, which must
// also accept the connection unless dcmExternalSocketHandle names one. That
// global is shared by the whole process, so the call is serialized, and it is
// made only once the peer's first PDU is complete in the socket buffer: the
// serialized part never waits on a peer.

#include <mutex>

struct T_ASC_Network;
struct T_ASC_Association;

namespace pacs::toolkit::detail {

// A connection between accept() and its association; cancel() wakes the wait.
class Intake
{
public:
    void cancel();
    // Waits up to `seconds` for the first PDU, then lets DCMTK read it from
    // `socket`. Always closes `socket`; the association (own socket) or null.
    T_ASC_Association *receive(T_ASC_Network *network, int socket, int seconds, long maxReceivePdu);

private:
    std::mutex m_mutex;
    int m_socket = -1;
    bool m_cancelled = false;
};

// True once the peer's first PDU is in the socket buffer (or the peer stopped
// sending part-way, which DCMTK then reports at once); false when the time is
// up, the peer left without a word, or the wait was cancelled.
bool awaitFirstPdu(int socket, int seconds);

} // namespace pacs::toolkit::detail

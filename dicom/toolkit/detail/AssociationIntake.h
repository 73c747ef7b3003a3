#pragma once

// Taking in a new association on its own thread. The listener only accepts
// TCP connections; everything that waits on the peer happens here, so a peer
// that connects and says nothing holds only its own thread.
//
// DCMTK reads the A-ASSOCIATE-RQ inside ASC_receiveAssociation, which must
// also accept the connection unless dcmExternalSocketHandle names one. That
// global is shared by the whole process, so the call is serialized. The
// request is therefore read here first, whole and within the intake's
// deadline (after the TLS handshake, on a secure listener), and DCMTK parses
// it from memory (GuardedConnection): the serialized part never reads from
// the network, so a peer that stalls part-way through its handshake or
// request holds up nobody else.

#include <functional>
#include <mutex>
#include <string>

struct T_ASC_Network;
struct T_ASC_Association;
class DcmTLSTransportLayer;

namespace pacs::toolkit::detail {

// A connection between accept() and its association; cancel() wakes the wait.
class Intake
{
public:
    void cancel();
    // Reads the first PDU within `seconds` (with `tls`, the handshake too),
    // then lets DCMTK parse it. Always closes `socket`; the association (own
    // socket) or null. The network must use GuardedTransportLayer.
    T_ASC_Association *receive(T_ASC_Network *network, int socket, int seconds, long maxReceivePdu,
                               DcmTLSTransportLayer *tls = nullptr);

private:
    std::mutex m_mutex;
    int m_socket = -1;
    bool m_cancelled = false;
};

// The peer's first PDU, header and body, read within `seconds` of the call.
// Empty when the time is up, the peer left or stopped part-way, the wait was
// cancelled, or the PDU is no A-ASSOCIATE-RQ or declares more than
// kMaxAssociateRequest bytes (refused before any of it is read).
std::string readAssociateRequest(int socket, int seconds);

// Reads up to `count` bytes into `buffer`, waiting at most `milliseconds`:
// how many, 0 when the peer closed, -1 on time-out or error.
using PeerReader = std::function<long(char *buffer, size_t count, int milliseconds)>;
// The same through any reader (the TLS connection of a secure listener).
std::string readAssociateRequest(const PeerReader &read, int seconds);

// Far above any real request (a few kilobytes, some ten for a modality
// proposing every storage class), and DCMTK's own limit for one.
constexpr unsigned kMaxAssociateRequest = 1024 * 1024;

} // namespace pacs::toolkit::detail

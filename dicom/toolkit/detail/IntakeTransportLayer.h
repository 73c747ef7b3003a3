#pragma once

// The transport layer of the listener's network: every connection DCMTK
// creates for an incoming association is a PrefetchedConnection carrying the
// request bytes the intake has already read on the same thread.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmnet/dcmlayer.h>

#include <string>

namespace pacs::toolkit::detail {

class IntakeTransportLayer : public DcmTransportLayer
{
public:
    // The bytes the next connection created on this thread starts with.
    static void setPrefetched(std::string bytes);

    DcmTransportConnection *createConnection(DcmNativeSocketType openSocket, OFBool useSecureLayer) override;
};

} // namespace pacs::toolkit::detail

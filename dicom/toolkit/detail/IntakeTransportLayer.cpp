#include "dicom/toolkit/detail/IntakeTransportLayer.h"

#include "dicom/toolkit/detail/PrefetchedConnection.h"

#include <utility>

namespace pacs::toolkit::detail {

namespace {
// Handed over on the intake's own thread, inside its ASC_receiveAssociation call.
thread_local std::string t_prefetched;
} // namespace

void IntakeTransportLayer::setPrefetched(std::string bytes)
{
    t_prefetched = std::move(bytes);
}

DcmTransportConnection *IntakeTransportLayer::createConnection(DcmNativeSocketType openSocket, OFBool useSecureLayer)
{
    if (useSecureLayer)
        return DcmTransportLayer::createConnection(openSocket, useSecureLayer);
    return new PrefetchedConnection(openSocket, std::exchange(t_prefetched, std::string()));
}

} // namespace pacs::toolkit::detail

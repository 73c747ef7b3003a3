#pragma once

// A plain TCP transport connection that first hands out bytes already read
// from its socket. The intake reads a peer's whole A-ASSOCIATE-RQ itself,
// bounded by its own deadline and under no lock, and DCMTK then parses it
// from memory through this connection; everything after comes from the
// socket as usual.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmnet/dcmtrans.h>

#include <string>

namespace pacs::toolkit::detail {

class PrefetchedConnection : public DcmTCPConnection
{
public:
    PrefetchedConnection(DcmNativeSocketType socket, std::string prefetched);

    ssize_t read(void *buf, size_t nbyte) override;
    OFBool networkDataAvailable(int timeout) override;

private:
    std::string m_prefetched;
    size_t m_offset = 0;
};

} // namespace pacs::toolkit::detail

#pragma once

#include "dicom/toolkit/detail/DescriptorConsumer.h"

#include <dcmtk/dcmdata/dcostrma.h>

namespace pacs::toolkit::detail {

// DCMTK's output stream over DescriptorConsumer: what DCMTK writes goes to
// the descriptor with checked writes, large values without a copy.
class DescriptorOutputStream : public DcmOutputStream
{
public:
    explicit DescriptorOutputStream(int fd);

    const DescriptorConsumer &consumer() const { return m_consumer; }

private:
    DescriptorConsumer m_consumer;
};

} // namespace pacs::toolkit::detail

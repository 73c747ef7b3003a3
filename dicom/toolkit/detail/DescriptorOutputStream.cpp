#include "dicom/toolkit/detail/DescriptorOutputStream.h"

namespace pacs::toolkit::detail {

// The consumer is made after the base that keeps its address; the base only
// uses it once writing starts.
DescriptorOutputStream::DescriptorOutputStream(int fd) : DcmOutputStream(&m_consumer), m_consumer(fd) {}

} // namespace pacs::toolkit::detail

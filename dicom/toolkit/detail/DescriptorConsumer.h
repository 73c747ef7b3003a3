#pragma once

#include <dcmtk/dcmdata/dcostrma.h>

#include <cstddef>
#include <vector>

namespace pacs::toolkit::detail {

// DCMTK's output into an open file descriptor with checked writes. Small
// pieces (tags, lengths, short values) are gathered; a large value (a coded
// frame, uncompressed pixels) goes out from where it lies, with what was
// gathered before it in one call, never copied into a buffer first.
class DescriptorConsumer : public DcmConsumer
{
public:
    explicit DescriptorConsumer(int fd);

    OFBool good() const override { return m_error == 0; }
    OFCondition status() const override;
    OFBool isFlushed() const override { return m_gathered.empty(); }
    offile_off_t avail() const override;
    offile_off_t write(const void *buf, offile_off_t buflen) override;
    void flush() override;

    // errno of the first failed write, 0 while all went well.
    int error() const { return m_error; }
    // Bytes written to the descriptor so far.
    long long written() const { return m_written; }

private:
    bool writeOut(const char *first, size_t firstLength, const char *second, size_t secondLength);

    int m_fd;
    int m_error = 0;
    long long m_written = 0;
    std::vector<char> m_gathered;
};

} // namespace pacs::toolkit::detail

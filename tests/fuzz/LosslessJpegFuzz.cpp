// Any bytes as a lossless JPEG frame for our decoder, into 8- and 16-bit
// buffers of the size the stream's own header asks for (capped), and of a
// size that does not fit. Whatever the stream, the decoder stays inside the
// buffers and a stream it decodes re-encodes to one that decodes the same.

#include "dicom/toolkit/detail/LosslessJpeg.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

using namespace pacs::toolkit::detail;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    LosslessJpegHeader header;
    if (LosslessJpeg::readHeader(data, size, header) != LosslessJpeg::Result::Ok)
        return 0;
    const size_t pixels = size_t(header.rows) * size_t(header.columns);
    if (pixels > (size_t(1) << 22))
        return 0; // a header may ask for 4 GB; the decoder is handed what the image attributes allow
    std::vector<uint16_t> words(pixels);
    const bool decoded = LosslessJpeg::decode(data, size, words.data(), words.size()) == LosslessJpeg::Result::Ok;
    if (pixels > 0) {
        std::vector<uint16_t> small(pixels - 1);
        if (LosslessJpeg::decode(data, size, small.data(), small.size()) == LosslessJpeg::Result::Ok)
            std::abort(); // a frame larger than its buffer must be refused
    }
    std::vector<uint8_t> bytes(pixels);
    LosslessJpeg::decode(data, size, bytes.data(), bytes.size());
    if (decoded && header.precision >= 2) {
        // Samples above the precision can come out of a damaged stream; the
        // encoder codes the cell modulo 2^16, and so must the round trip.
        std::vector<uint8_t> again;
        std::vector<uint16_t> back(pixels);
        if (!LosslessJpeg::encode(words.data(), header.rows, header.columns, 16, again)
            || LosslessJpeg::decode(again.data(), again.size(), back.data(), back.size()) != LosslessJpeg::Result::Ok
            || back != words)
            std::abort();
    }
    return 0;
}

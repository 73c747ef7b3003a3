#pragma once

// A lossless JPEG (process 14) coder for one-component images, written for
// speed on the stored form: first-order prediction (selection value 1), no
// point transform, one Huffman table optimised per frame, and the rows in
// eight bands, each a restart interval, so that decoding can interleave them.
// It works on plain sample arrays; LosslessJpegCodec puts it behind DCMTK.
//
// The decoder reads any single-component, selection-value-1, point-transform-0
// stream without a restart interval or with one of whole rows (whoever wrote
// it); everything else is reported as Unsupported, so the caller can hand the
// stream to DCMTK. A
// damaged or truncated stream is Corrupt; the decoder never reads or writes
// outside the buffers it was given.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pacs::toolkit::detail {

struct LosslessJpegHeader
{
    int precision = 0; // 2..16 bits per sample
    int rows = 0;
    int columns = 0;
};

class LosslessJpeg
{
public:
    enum class Result { Ok, Unsupported, Corrupt };

    // Encodes rows x columns samples (each below 2^precision) into `out`
    // (replaced). Precision 2..16; false for sizes it cannot code.
    static bool encode(const uint16_t *samples, int rows, int columns, int precision, std::vector<uint8_t> &out);
    static bool encode(const uint8_t *samples, int rows, int columns, int precision, std::vector<uint8_t> &out);
    // The same into the first `length` bytes of `buffer`, which keeps (or
    // grows to) the size the frame needed: kept for the next frame, its
    // room is not filled with zeros again.
    static bool encode(const uint16_t *samples, int rows, int columns, int precision, std::vector<uint8_t> &buffer,
                       size_t &length);
    static bool encode(const uint8_t *samples, int rows, int columns, int precision, std::vector<uint8_t> &buffer,
                       size_t &length);

    // The encoders code with 512-bit vectors where the processor has them
    // (`Coder::Fastest`), else portably; both write the same bytes, which the
    // tests check by choosing the portable one (for every thread).
    enum class Coder { Fastest, Portable };
    static void useCoder(Coder coder);
    // Whether the fastest coder here is the vector one.
    static bool vectorCoder();

    // Reads the frame header and checks that the fast path decodes the stream.
    static Result readHeader(const uint8_t *data, size_t size, LosslessJpegHeader &header, std::string *error = nullptr);

    // Decodes into `out`, which holds `capacity` samples (at least rows x
    // columns of the header). 8-bit output takes streams of precision <= 8.
    static Result decode(const uint8_t *data, size_t size, uint16_t *out, size_t capacity,
                         LosslessJpegHeader *header = nullptr, std::string *error = nullptr);
    static Result decode(const uint8_t *data, size_t size, uint8_t *out, size_t capacity,
                         LosslessJpegHeader *header = nullptr, std::string *error = nullptr);
};

} // namespace pacs::toolkit::detail

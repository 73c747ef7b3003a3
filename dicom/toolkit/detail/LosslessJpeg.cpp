#include "dicom/toolkit/detail/LosslessJpeg.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

namespace pacs::toolkit::detail {

namespace {

constexpr int kSymbols = 17;   // difference categories 0..16
constexpr int kMaxCodeLength = 16;
constexpr int kLookupBits = 12; // a code and its extra bits this short decode with one table read

int category(int difference)
{
    if (difference == 0)
        return 0;
    if (difference == -32768)
        return 16; // the one 16-bit difference, coded without extra bits
    const unsigned magnitude = unsigned(difference < 0 ? -difference : difference);
    return 32 - __builtin_clz(magnitude);
}

// The difference as a signed value of 16 bits: predictions and samples wrap
// around at 2^16, as the format defines them.
inline int difference(unsigned sample, unsigned prediction) { return int(int16_t(uint16_t(sample - prediction))); }

// ---- Huffman table optimised for the frame's histogram ---------------------

struct HuffmanTable
{
    std::array<uint8_t, kMaxCodeLength + 1> bits{}; // bits[n]: codes of length n
    std::vector<uint8_t> values;                    // symbols by increasing code length
    std::array<uint16_t, kSymbols> code{};
    std::array<uint8_t, kSymbols> length{};
};

// Code lengths of an optimal prefix code limited to 16 bits, with a
// reserved symbol so that no code consists of ones only; then the canonical
// codes for those lengths.
void buildTable(const std::array<uint32_t, kSymbols> &histogram, HuffmanTable &table)
{
    constexpr int n = kSymbols + 1; // the last one is the reserved symbol
    std::array<uint64_t, n> frequency{};
    std::array<int, n> codeSize{};
    std::array<int, n> others{};
    for (int i = 0; i < kSymbols; ++i)
        frequency[size_t(i)] = histogram[size_t(i)];
    frequency[n - 1] = 1;
    others.fill(-1);
    for (;;) {
        // The two least frequent trees; among equals, the higher symbol first.
        int c1 = -1, c2 = -1;
        for (int i = 0; i < n; ++i)
            if (frequency[size_t(i)] && (c1 < 0 || frequency[size_t(i)] <= frequency[size_t(c1)]))
                c1 = i;
        for (int i = 0; i < n; ++i)
            if (frequency[size_t(i)] && i != c1 && (c2 < 0 || frequency[size_t(i)] <= frequency[size_t(c2)]))
                c2 = i;
        if (c2 < 0)
            break;
        frequency[size_t(c1)] += frequency[size_t(c2)];
        frequency[size_t(c2)] = 0;
        for (++codeSize[size_t(c1)]; others[size_t(c1)] >= 0; ++codeSize[size_t(c1)])
            c1 = others[size_t(c1)];
        others[size_t(c1)] = c2;
        for (++codeSize[size_t(c2)]; others[size_t(c2)] >= 0; ++codeSize[size_t(c2)])
            c2 = others[size_t(c2)];
    }
    std::array<int, 33> count{};
    for (int i = 0; i < n; ++i)
        if (codeSize[size_t(i)])
            ++count[size_t(std::min(codeSize[size_t(i)], 32))];
    // Lengths over 16: move pairs up the tree, the usual adjustment.
    for (int i = 32; i > kMaxCodeLength; --i) {
        while (count[size_t(i)] > 0) {
            int j = i - 2;
            while (count[size_t(j)] == 0)
                --j;
            count[size_t(i)] -= 2;
            ++count[size_t(i - 1)];
            count[size_t(j + 1)] += 2;
            --count[size_t(j)];
        }
    }
    int longest = kMaxCodeLength;
    while (count[size_t(longest)] == 0)
        --longest;
    --count[size_t(longest)]; // the reserved symbol's code goes unused
    table.bits.fill(0);
    for (int i = 1; i <= kMaxCodeLength; ++i)
        table.bits[size_t(i)] = uint8_t(count[size_t(i)]);
    table.values.clear();
    for (int size = 1; size <= 32; ++size)
        for (int s = 0; s < kSymbols; ++s)
            if (codeSize[size_t(s)] == size)
                table.values.push_back(uint8_t(s));
    uint16_t code = 0;
    size_t k = 0;
    table.length.fill(0);
    for (int len = 1; len <= kMaxCodeLength; ++len) {
        for (int i = 0; i < table.bits[size_t(len)]; ++i, ++k) {
            table.code[table.values[k]] = code++;
            table.length[table.values[k]] = uint8_t(len);
        }
        code = uint16_t(code << 1);
    }
}

// ---- Writing ----------------------------------------------------------------

class BitWriter
{
public:
    explicit BitWriter(std::vector<uint8_t> &out) : m_out(out) {}

    // Room for `bytes` more output bytes (stuffing included) without checks.
    void reserve(size_t bytes)
    {
        if (m_out.size() - m_used < bytes)
            m_out.resize(std::max(m_out.size() * 2, m_used + bytes));
    }
    // Appends `count` (at most 32) bits; whole 32-bit words go out at once.
    void put(uint32_t value, int count)
    {
        m_accumulator = (m_accumulator << count) | value;
        m_count += count;
        if (m_count < 32)
            return;
        m_count -= 32;
        const uint32_t word = uint32_t(m_accumulator >> m_count);
        if (((~word - 0x01010101u) & word & 0x80808080u) == 0) { // no 0xFF byte: nothing to stuff
            m_out[m_used] = uint8_t(word >> 24);
            m_out[m_used + 1] = uint8_t(word >> 16);
            m_out[m_used + 2] = uint8_t(word >> 8);
            m_out[m_used + 3] = uint8_t(word);
            m_used += 4;
            return;
        }
        for (int shift = 24; shift >= 0; shift -= 8)
            putByte(uint8_t(word >> shift));
    }
    void finish()
    {
        while (m_count >= 8) {
            m_count -= 8;
            putByte(uint8_t(m_accumulator >> m_count));
        }
        if (m_count > 0) // padded with ones
            putByte(uint8_t((m_accumulator << (8 - m_count)) | ((1u << (8 - m_count)) - 1u)));
        m_count = 0;
        m_out.resize(m_used);
    }
    size_t &used() { return m_used; }

private:
    void putByte(uint8_t byte)
    {
        m_out[m_used++] = byte;
        if (byte == 0xFF)
            m_out[m_used++] = 0x00;
    }

    std::vector<uint8_t> &m_out;
    uint64_t m_accumulator = 0;
    int m_count = 0;
    size_t m_used = 0;
};

void putWord(std::vector<uint8_t> &out, unsigned value)
{
    out.push_back(uint8_t(value >> 8));
    out.push_back(uint8_t(value));
}

template <typename Sample>
bool encodeFrame(const Sample *samples, int rows, int columns, int precision, std::vector<uint8_t> &out)
{
    if (!samples || rows < 1 || columns < 1 || rows > 65535 || columns > 65535 || precision < 2 || precision > 16)
        return false;
    const unsigned mask = precision == 16 ? 0xFFFFu : ((1u << precision) - 1u);
    const unsigned first = 1u << (precision - 1);
    // Pass one: how often each difference category occurs.
    std::array<uint32_t, kSymbols> histogram{};
    for (int y = 0; y < rows; ++y) {
        const Sample *row = samples + size_t(y) * size_t(columns);
        unsigned prediction = y == 0 ? first : (samples[size_t(y - 1) * size_t(columns)] & mask);
        for (int x = 0; x < columns; ++x) {
            const unsigned sample = row[x] & mask;
            ++histogram[size_t(category(difference(sample, prediction)))];
            prediction = sample;
        }
    }
    HuffmanTable table;
    buildTable(histogram, table);

    out.clear();
    out.reserve(size_t(rows) * size_t(columns) + 64);
    const uint8_t header[] = {0xFF, 0xD8, 0xFF, 0xC3, 0x00, 0x0B, uint8_t(precision)};
    out.insert(out.end(), header, header + sizeof(header));
    putWord(out, unsigned(rows));
    putWord(out, unsigned(columns));
    const uint8_t component[] = {0x01, 0x01, 0x11, 0x00, 0xFF, 0xC4};
    out.insert(out.end(), component, component + sizeof(component));
    putWord(out, unsigned(2 + 1 + kMaxCodeLength + table.values.size()));
    out.push_back(0x00); // class 0, table 0
    out.insert(out.end(), table.bits.begin() + 1, table.bits.end());
    out.insert(out.end(), table.values.begin(), table.values.end());
    // One component, table 0; predictor 1, no point transform.
    const uint8_t scan[] = {0xFF, 0xDA, 0x00, 0x08, 0x01, 0x01, 0x00, 0x01, 0x00, 0x00};
    out.insert(out.end(), scan, scan + sizeof(scan));

    // Pass two: the codes.
    BitWriter writer(out);
    writer.used() = out.size();
    for (int y = 0; y < rows; ++y) {
        writer.reserve(size_t(columns) * 8 + 16); // 31 bits a sample at most, doubled by stuffing
        const Sample *row = samples + size_t(y) * size_t(columns);
        unsigned prediction = y == 0 ? first : (samples[size_t(y - 1) * size_t(columns)] & mask);
        for (int x = 0; x < columns; ++x) {
            const unsigned sample = row[x] & mask;
            const int d = difference(sample, prediction);
            prediction = sample;
            const int c = category(d);
            const uint32_t code = table.code[size_t(c)];
            const int length = table.length[size_t(c)];
            if (c == 0 || c == 16) {
                writer.put(code, length);
            } else {
                const uint32_t extra = uint32_t(d < 0 ? d - 1 : d) & ((1u << c) - 1u);
                writer.put((code << c) | extra, length + c);
            }
        }
    }
    writer.reserve(8);
    writer.finish();
    out.push_back(0xFF);
    out.push_back(0xD9);
    return true;
}

// ---- Reading ----------------------------------------------------------------

// One entry per kLookupBits-bit prefix of the coded bits.
struct LookupEntry
{
    int32_t difference = 0;
    uint8_t length = 0; // bits the entry takes
    uint8_t kind = 0;   // kNone: longer code; kWhole: code and extra bits; kCode: the code alone
    uint8_t symbol = 0;
};
constexpr uint8_t kNone = 0, kWhole = 1, kCode = 2;

int extraToDifference(int bits, int c)
{
    if (c == 0)
        return 0;
    if (c == 16)
        return 32768;
    return bits < (1 << (c - 1)) ? bits - (1 << c) + 1 : bits;
}

struct DecodeTable
{
    bool defined = false;
    std::array<LookupEntry, 1 << kLookupBits> lookup;
    std::array<int32_t, kMaxCodeLength + 2> maxCode{};
    std::array<int32_t, kMaxCodeLength + 1> offset{};
    std::array<uint8_t, 256> values{};
};

// Made only for the tables a stream defines, on the heap: four of them would
// be a quarter of a megabyte of a decoding thread's stack.
using DecodeTables = std::array<std::unique_ptr<DecodeTable>, 4>;

bool buildDecodeTable(const uint8_t *bits, const uint8_t *values, int count, DecodeTable &table)
{
    // Set field by field: a whole-table assignment would build (and zero) a
    // temporary of the table's size first.
    table.defined = false;
    table.lookup.fill(LookupEntry{});
    table.maxCode.fill(0);
    table.offset.fill(0);
    table.values.fill(0);
    std::copy(values, values + count, table.values.begin());
    int32_t code = 0;
    int k = 0;
    for (int len = 1; len <= kMaxCodeLength; ++len) {
        const int n = bits[len - 1];
        if (n) {
            table.offset[size_t(len)] = k - code;
            for (int i = 0; i < n; ++i, ++k, ++code) {
                if (code >= (1 << len))
                    return false; // more codes than the length allows
                if (len <= kLookupBits) {
                    const int c = values[k];
                    const int extra = (c == 16 || c > 16) ? 0 : c;
                    if (c <= 16 && len + extra <= kLookupBits) {
                        const int shift = kLookupBits - len - extra;
                        for (int bits = 0; bits < (1 << extra); ++bits) {
                            const LookupEntry entry{extraToDifference(bits, c), uint8_t(len + extra), kWhole, uint8_t(c)};
                            const size_t base = size_t(((code << extra) | bits) << shift);
                            std::fill(table.lookup.begin() + base, table.lookup.begin() + base + (size_t(1) << shift),
                                      entry);
                        }
                    } else {
                        const int shift = kLookupBits - len;
                        const LookupEntry entry{0, uint8_t(len), kCode, uint8_t(c)};
                        const size_t base = size_t(code << shift);
                        std::fill(table.lookup.begin() + base, table.lookup.begin() + base + (size_t(1) << shift),
                                  entry);
                    }
                }
            }
            table.maxCode[size_t(len)] = code - 1;
        } else {
            table.maxCode[size_t(len)] = -1;
        }
        code <<= 1;
    }
    table.maxCode[kMaxCodeLength + 1] = 0x7FFFFFFF; // sentinel: no code is longer
    table.defined = true;
    return true;
}

class BitReader
{
public:
    BitReader(const uint8_t *data, const uint8_t *end) : m_data(data), m_end(end) {}

    // At least 32 bits to read after this (zeros past the data).
    void fill()
    {
        if (m_count >= 32)
            return;
        // Four plain bytes at once where no 0xFF is among them.
        if (m_end - m_data >= 4 && m_data[0] != 0xFF && m_data[1] != 0xFF && m_data[2] != 0xFF && m_data[3] != 0xFF) {
            m_accumulator = (m_accumulator << 32) | (uint64_t(m_data[0]) << 24) | (uint64_t(m_data[1]) << 16)
                            | (uint64_t(m_data[2]) << 8) | m_data[3];
            m_data += 4;
            m_count += 32;
            return;
        }
        while (m_count <= 56) {
            uint8_t byte = 0;
            if (m_data < m_end && *m_data != 0xFF) {
                byte = *m_data++;
            } else if (m_data + 1 < m_end && m_data[1] == 0x00) {
                byte = 0xFF;
                m_data += 2;
            } else {
                m_padding += 8; // a marker or the end: zeros from here on
            }
            m_accumulator = (m_accumulator << 8) | byte;
            m_count += 8;
        }
    }
    uint32_t peek(int n) const { return uint32_t(m_accumulator >> (m_count - n)) & ((1u << n) - 1u); }
    void skip(int n) { m_count -= n; }
    // Whether bits beyond the data were consumed.
    bool overrun() const { return m_padding > size_t(m_count); }

private:
    const uint8_t *m_data;
    const uint8_t *m_end;
    uint64_t m_accumulator = 0;
    int m_count = 0;
    size_t m_padding = 0;
};

// A category whose code is longer than the lookup; -1 for a code the table does not have.
int decodeLongSymbol(BitReader &reader, const DecodeTable &table)
{
    int len = kLookupBits + 1;
    int32_t code = int32_t(reader.peek(len));
    while (len <= kMaxCodeLength && code > table.maxCode[size_t(len)]) {
        ++len;
        code = int32_t(reader.peek(len));
    }
    if (len > kMaxCodeLength)
        return -1;
    reader.skip(len);
    return table.values[size_t(table.offset[size_t(len)] + code) & 0xFF];
}

struct Parsed
{
    LosslessJpegHeader header;
    const DecodeTable *table = nullptr;
    const uint8_t *scan = nullptr; // first entropy-coded byte
};

unsigned word(const uint8_t *p) { return unsigned(p[0]) << 8 | p[1]; }

LosslessJpeg::Result fail(LosslessJpeg::Result result, const char *why, std::string *error)
{
    if (error)
        *error = why;
    return result;
}

LosslessJpeg::Result parse(const uint8_t *data, size_t size, DecodeTables &tables, Parsed &parsed,
                           std::string *error)
{
    using R = LosslessJpeg::Result;
    if (!data || size < 4 || data[0] != 0xFF || data[1] != 0xD8)
        return fail(R::Corrupt, "not a JPEG stream", error);
    const uint8_t *p = data + 2;
    const uint8_t *end = data + size;
    int component = -1;
    for (;;) {
        if (p >= end || *p != 0xFF)
            return fail(R::Corrupt, "marker expected", error);
        while (p < end && *p == 0xFF)
            ++p; // fill bytes
        if (p >= end)
            return fail(R::Corrupt, "stream ends before the scan", error);
        const uint8_t marker = *p++;
        if (marker == 0xD9 || marker == 0xD8 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7))
            return fail(R::Corrupt, "unexpected marker before the scan", error);
        if (end - p < 2 || word(p) < 2 || size_t(end - p) < word(p))
            return fail(R::Corrupt, "truncated marker segment", error);
        const unsigned length = word(p);
        const uint8_t *segment = p + 2;
        const uint8_t *next = p + length;
        const unsigned body = length - 2;
        if (marker == 0xC3) {
            if (body < 6)
                return fail(R::Corrupt, "short frame header", error);
            parsed.header.precision = segment[0];
            parsed.header.rows = int(word(segment + 1));
            parsed.header.columns = int(word(segment + 3));
            if (segment[5] != 1)
                return fail(R::Unsupported, "more than one component", error);
            if (body < 9)
                return fail(R::Corrupt, "short frame header", error);
            component = segment[6];
            if (parsed.header.precision < 2 || parsed.header.precision > 16 || parsed.header.columns == 0)
                return fail(R::Corrupt, "frame header out of range", error);
            if (parsed.header.rows == 0)
                return fail(R::Unsupported, "number of lines given after the scan", error);
        } else if ((marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC)
                   || marker == 0xDE || marker == 0xDF) {
            return fail(R::Unsupported, "not a non-hierarchical lossless Huffman frame", error);
        } else if (marker == 0xCC) {
            return fail(R::Unsupported, "arithmetic coding", error);
        } else if (marker == 0xC4) {
            const uint8_t *q = segment;
            while (q < next) {
                if (next - q < 17)
                    return fail(R::Corrupt, "short Huffman table", error);
                const int cls = q[0] >> 4, id = q[0] & 0x0F;
                int count = 0;
                for (int i = 1; i <= 16; ++i)
                    count += q[i];
                if (cls != 0 || id > 3 || count > 256 || next - q < 17 + count)
                    return fail(R::Corrupt, "bad Huffman table", error);
                if (!tables[size_t(id)])
                    tables[size_t(id)] = std::make_unique<DecodeTable>();
                if (!buildDecodeTable(q + 1, q + 17, count, *tables[size_t(id)]))
                    return fail(R::Corrupt, "bad Huffman table", error);
                q += 17 + count;
            }
        } else if (marker == 0xDD) {
            if (body < 2)
                return fail(R::Corrupt, "short restart interval", error);
            if (word(segment) != 0)
                return fail(R::Unsupported, "restart interval", error);
        } else if (marker == 0xDC) {
            return fail(R::Unsupported, "number of lines given after the scan", error);
        } else if (marker == 0xDA) {
            if (component < 0)
                return fail(R::Corrupt, "scan before the frame header", error);
            if (body < 1 || segment[0] != 1)
                return fail(R::Unsupported, "scan of more than one component", error);
            if (body < 6)
                return fail(R::Corrupt, "short scan header", error);
            if (segment[1] != component)
                return fail(R::Corrupt, "scan names another component", error);
            const int td = segment[2] >> 4;
            if (segment[3] != 1)
                return fail(R::Unsupported, "predictor other than 1", error);
            if ((segment[5] & 0x0F) != 0)
                return fail(R::Unsupported, "point transform", error);
            if (td > 3 || !tables[size_t(td)] || !tables[size_t(td)]->defined)
                return fail(R::Corrupt, "scan uses an undefined Huffman table", error);
            parsed.table = tables[size_t(td)].get();
            parsed.scan = next;
            return R::Ok;
        }
        p = next;
    }
}

template <typename Sample>
LosslessJpeg::Result decodeFrame(const uint8_t *data, size_t size, Sample *out, size_t capacity,
                                 LosslessJpegHeader *header, std::string *error)
{
    using R = LosslessJpeg::Result;
    DecodeTables tables;
    Parsed parsed;
    const R result = parse(data, size, tables, parsed, error);
    if (result != R::Ok)
        return result;
    const LosslessJpegHeader &h = parsed.header;
    if (header)
        *header = h;
    if (sizeof(Sample) == 1 && h.precision > 8)
        return fail(R::Unsupported, "more than 8 bits for 8-bit samples", error);
    if (!out || capacity < size_t(h.rows) * size_t(h.columns))
        return fail(R::Corrupt, "the frame is larger than the image", error);
    const unsigned mask = sizeof(Sample) == 1 ? 0xFFu : 0xFFFFu;
    const DecodeTable &table = *parsed.table;
    BitReader reader(parsed.scan, data + size);
    const unsigned first = 1u << (h.precision - 1);
    for (int y = 0; y < h.rows; ++y) {
        Sample *row = out + size_t(y) * size_t(h.columns);
        unsigned prediction = y == 0 ? first : unsigned(out[size_t(y - 1) * size_t(h.columns)]);
        for (int x = 0; x < h.columns; ++x) {
            reader.fill();
            const LookupEntry &entry = table.lookup[reader.peek(kLookupBits)];
            int d;
            if (entry.kind == kWhole) {
                reader.skip(entry.length);
                d = entry.difference;
            } else {
                int c;
                if (entry.kind == kCode) {
                    reader.skip(entry.length);
                    c = entry.symbol;
                } else {
                    c = decodeLongSymbol(reader, table);
                }
                if (c < 0 || c > 16)
                    return fail(R::Corrupt, "invalid Huffman code", error);
                const int extra = c == 0 || c == 16 ? 0 : c;
                const int bits = extra ? int(reader.peek(extra)) : 0;
                reader.skip(extra);
                d = extraToDifference(bits, c);
            }
            prediction = (prediction + unsigned(d)) & mask;
            row[x] = Sample(prediction);
        }
        if (reader.overrun())
            return fail(R::Corrupt, "the stream ends inside the frame", error);
    }
    return R::Ok;
}

} // namespace

bool LosslessJpeg::encode(const uint16_t *samples, int rows, int columns, int precision, std::vector<uint8_t> &out)
{
    return encodeFrame(samples, rows, columns, precision, out);
}

bool LosslessJpeg::encode(const uint8_t *samples, int rows, int columns, int precision, std::vector<uint8_t> &out)
{
    return precision <= 8 && encodeFrame(samples, rows, columns, precision, out);
}

LosslessJpeg::Result LosslessJpeg::readHeader(const uint8_t *data, size_t size, LosslessJpegHeader &header,
                                              std::string *error)
{
    DecodeTables tables;
    Parsed parsed;
    const Result result = parse(data, size, tables, parsed, error);
    header = parsed.header;
    return result;
}

LosslessJpeg::Result LosslessJpeg::decode(const uint8_t *data, size_t size, uint16_t *out, size_t capacity,
                                          LosslessJpegHeader *header, std::string *error)
{
    return decodeFrame(data, size, out, capacity, header, error);
}

LosslessJpeg::Result LosslessJpeg::decode(const uint8_t *data, size_t size, uint8_t *out, size_t capacity,
                                          LosslessJpegHeader *header, std::string *error)
{
    return decodeFrame(data, size, out, capacity, header, error);
}

} // namespace pacs::toolkit::detail

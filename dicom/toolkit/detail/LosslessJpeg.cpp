#include "dicom/toolkit/detail/LosslessJpeg.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <memory>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#define PACS_VECTOR_CODES 1
#include <immintrin.h>
#endif

namespace pacs::toolkit::detail {

namespace {

constexpr int kSymbols = 17;   // difference categories 0..16
constexpr int kMaxCodeLength = 16;
constexpr int kLookupBits = 12; // a code and its extra bits this short decode with one table read

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

// Codes out to bytes as they come: after each code the whole bytes go out in
// one eight-byte store, unless one of them is 0xFF and needs its stuffed zero.
class BitWriter
{
public:
    explicit BitWriter(std::vector<uint8_t> &out) : m_out(&out), m_data(out.data()) {}

    // Room for `bytes` more output bytes (stuffing included) without checks,
    // and for the eight-byte store past them.
    void reserve(size_t bytes)
    {
        // The caller sizes the buffer for most frames; growing past that is rare.
        const size_t need = m_used + bytes + 8;
        if (m_out->size() < need) {
            m_out->resize(std::max(need, m_out->size() * 2));
            m_data = m_out->data();
        }
    }
    // Appends `count` (1 to 57) bits. The output pointer is kept here, not
    // read from the vector: a byte stored through it may alias the vector,
    // which would then be read again after every store.
    void put(uint64_t value, int count)
    {
        m_accumulator = (m_accumulator << count) | value;
        m_count += count; // at most 64: seven left over and 57 new
        const uint64_t word = m_accumulator << (64 - m_count);
        const int bytes = m_count >> 3;
        if (((~word - 0x0101010101010101ull) & word & 0x8080808080808080ull) == 0) { // no 0xFF byte
            const uint64_t big = __builtin_bswap64(word);
            std::memcpy(m_data + m_used, &big, sizeof big);
            m_used += size_t(bytes);
        } else {
            for (int i = 0; i < bytes; ++i) {
                const uint8_t byte = uint8_t(word >> (56 - 8 * i));
                m_data[m_used++] = byte;
                if (byte == 0xFF)
                    m_data[m_used++] = 0x00;
            }
        }
        m_count &= 7;
    }
    // The bits so far out to a whole byte, padded with ones.
    void align()
    {
        if (m_count > 0)
            put((1u << (8 - m_count)) - 1u, 8 - m_count);
    }
    // After align(): a marker, not stuffed.
    void putMarker(uint8_t code)
    {
        m_data[m_used++] = 0xFF;
        m_data[m_used++] = code;
    }
    void finish() { align(); }
    size_t &used() { return m_used; }

private:
    std::vector<uint8_t> *m_out;
    uint8_t *m_data;
    uint64_t m_accumulator = 0;
    int m_count = 0;
    size_t m_used = 0;
};

void putWord(std::vector<uint8_t> &out, unsigned value)
{
    out.push_back(uint8_t(value >> 8));
    out.push_back(uint8_t(value));
}

// The difference category without branches: the bit length of |d| (16 for
// -32768, the one difference of 16 bits).
inline int categoryOf(int difference)
{
    const unsigned magnitude = unsigned(difference < 0 ? -difference : difference);
    return 31 - __builtin_clz(2 * magnitude + 1);
}

// A difference's code and extra bits, as one value and its length.
inline void codeOf(const HuffmanTable &table, int d, uint32_t &bits, int &length)
{
    const int c = categoryOf(d);
    bits = table.code[size_t(c)];
    length = table.length[size_t(c)];
    if (c != 0 && c != 16) {
        bits = (bits << c) | (uint32_t(d < 0 ? d - 1 : d) & ((1u << c) - 1u));
        length += c;
    }
}

// A row's differences (each sample from the one before it, the first from
// `prediction`), and for each four of them whether all are within +-kSmallDifference.
constexpr int kSmallDifference = 2047;

template <typename Sample>
void rowDifferences(const Sample *row, int columns, unsigned mask, unsigned prediction, int16_t *out, uint8_t *smallFour)
{
    int x = 0;
#if defined(__SSE2__)
    // Eight samples as eight 16-bit lanes.
    auto eight = [row](int at) {
        if constexpr (sizeof(Sample) == 2)
            return _mm_loadu_si128(reinterpret_cast<const __m128i *>(row + at));
        else
            return _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(row + at)), _mm_setzero_si128());
    };
    const __m128i keep = _mm_set1_epi16(int16_t(uint16_t(mask)));
    const __m128i below = _mm_set1_epi16(-kSmallDifference - 1), above = _mm_set1_epi16(kSmallDifference + 1);
    for (; x + 8 <= columns; x += 8) {
        const __m128i current = _mm_and_si128(eight(x), keep);
        const __m128i previous = x == 0 ? _mm_insert_epi16(_mm_slli_si128(current, 2), int(prediction), 0)
                                        : _mm_and_si128(eight(x - 1), keep);
        const __m128i d = _mm_sub_epi16(current, previous); // wraps at 2^16, as the format's differences do
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + x), d);
        const int within = _mm_movemask_epi8(_mm_and_si128(_mm_cmpgt_epi16(d, below), _mm_cmplt_epi16(d, above)));
        smallFour[x / 4] = uint8_t((within & 0xFF) == 0xFF);
        smallFour[x / 4 + 1] = uint8_t((within >> 8) == 0xFF);
    }
    if (x > 0)
        prediction = row[x - 1] & mask;
#endif
    const int noted = x; // the fours before this one are noted already
    for (; x < columns; ++x) {
        const unsigned sample = row[x] & mask;
        out[x] = int16_t(difference(sample, prediction));
        prediction = sample;
    }
    for (int at = noted; at + 3 < columns; at += 4) {
        bool within = true;
        for (int k = 0; k < 4; ++k)
            within = within && out[at + k] >= -kSmallDifference && out[at + k] <= kSmallDifference;
        smallFour[at / 4] = uint8_t(within);
    }
}

// How often each difference category occurs among `n` differences, added
// to `counts`. With SSE2 sixteen at a time: the categories from the
// exponents of the magnitudes as floats, then counted per category in byte
// lanes; a count in memory per sample made this pass cost a quarter of the
// encoding.
void countCategories(const int16_t *d, int n, std::array<uint32_t, kSymbols> &counts)
{
    int x = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    auto magnitude = [](__m128i v) {
        const __m128i sign = _mm_srai_epi16(v, 15);
        return _mm_sub_epi16(_mm_xor_si128(v, sign), sign); // -32768 becomes 32768, read unsigned
    };
    // The bit length of eight unsigned lanes: a float's biased exponent is
    // 127 + floor(log2 v) for v >= 1, 0 for 0.
    auto lengths = [zero](__m128i u) {
        const __m128i a = _mm_srli_epi32(_mm_castps_si128(_mm_cvtepi32_ps(_mm_unpacklo_epi16(u, zero))), 23);
        const __m128i b = _mm_srli_epi32(_mm_castps_si128(_mm_cvtepi32_ps(_mm_unpackhi_epi16(u, zero))), 23);
        return _mm_subs_epu16(_mm_packs_epi32(a, b), _mm_set1_epi16(126));
    };
    constexpr int kMostChunks = 255; // what a byte lane counts
    alignas(16) uint8_t categories[16 * kMostChunks];
    while (x + 16 <= n) {
        const int chunks = std::min((n - x) / 16, kMostChunks);
        __m128i highest = zero;
        for (int i = 0; i < chunks; ++i) {
            const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i *>(d + x + 16 * i));
            const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i *>(d + x + 16 * i + 8));
            const __m128i c = _mm_packus_epi16(lengths(magnitude(lo)), lengths(magnitude(hi)));
            highest = _mm_max_epu8(highest, c);
            _mm_store_si128(reinterpret_cast<__m128i *>(categories + 16 * i), c);
        }
        highest = _mm_max_epu8(highest, _mm_srli_si128(highest, 8));
        highest = _mm_max_epu8(highest, _mm_srli_si128(highest, 4));
        highest = _mm_max_epu8(highest, _mm_srli_si128(highest, 2));
        highest = _mm_max_epu8(highest, _mm_srli_si128(highest, 1));
        // Only the categories that occur are counted; category 0 is the rest.
        const int top = _mm_cvtsi128_si32(highest) & 0xFF;
        uint32_t others = 0;
        for (int k = 1; k <= top; ++k) {
            const __m128i key = _mm_set1_epi8(char(k));
            __m128i t0 = zero, t1 = zero; // two chains, so the adds do not wait on each other
            int i = 0;
            for (; i + 1 < chunks; i += 2) {
                const auto *at = reinterpret_cast<const __m128i *>(categories + 16 * i);
                t0 = _mm_sub_epi8(t0, _mm_cmpeq_epi8(_mm_load_si128(at), key));
                t1 = _mm_sub_epi8(t1, _mm_cmpeq_epi8(_mm_load_si128(at + 1), key));
            }
            if (i < chunks)
                t0 = _mm_sub_epi8(t0, _mm_cmpeq_epi8(_mm_load_si128(reinterpret_cast<const __m128i *>(categories + 16 * i)), key));
            const __m128i sums = _mm_add_epi64(_mm_sad_epu8(t0, zero), _mm_sad_epu8(t1, zero));
            const uint32_t count = uint32_t(_mm_cvtsi128_si32(sums) + _mm_extract_epi16(sums, 4));
            counts[size_t(k)] += count;
            others += count;
        }
        counts[0] += uint32_t(16 * chunks) - others;
        x += 16 * chunks;
    }
#endif
    for (; x < n; ++x)
        ++counts[size_t(categoryOf(d[x]))];
}

#if defined(PACS_VECTOR_CODES)
// GCC 12's 512-bit intrinsics start their results from self-initialised
// values, which its own warning then reports wherever they are inlined.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

// Each category's code and its length, (code << 5) | length, for the
// categories 0..16 (the rest unused) as two registers' worth.
struct VectorCodeTable
{
    alignas(64) uint32_t entry[32] = {};
};

bool vectorCodesAvailable()
{
    static const bool available = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                                  __builtin_cpu_supports("avx512cd") && __builtin_cpu_supports("avx512vl");
    return available;
}
#endif

std::atomic<bool> portableCoder{false};

#if defined(PACS_VECTOR_CODES)

// Two registers of neighbouring pieces of code (value and bit length per
// 64-bit lane, in order across a then b) joined pairwise: the earlier piece
// in the higher bits. A joined length past 57 leaves its value undefined.
__attribute__((target("avx512f,avx512bw,avx512cd,avx512vl"))) inline void
joinPairs(__m512i a, __m512i aLength, __m512i b, __m512i bLength, __m512i &value, __m512i &length)
{
    const __m512i evens = _mm512_setr_epi64(0, 2, 4, 6, 8, 10, 12, 14);
    const __m512i odds = _mm512_setr_epi64(1, 3, 5, 7, 9, 11, 13, 15);
    const __m512i first = _mm512_permutex2var_epi64(a, evens, b), second = _mm512_permutex2var_epi64(a, odds, b);
    const __m512i secondLength = _mm512_permutex2var_epi64(aLength, odds, bLength);
    value = _mm512_or_si512(_mm512_sllv_epi64(first, secondLength), second);
    length = _mm512_add_epi64(_mm512_permutex2var_epi64(aLength, evens, bLength), secondLength);
}

// 32 samples from `at` on as 16-bit lanes, masked to the precision.
template <typename Sample>
__attribute__((target("avx512f,avx512bw,avx512cd,avx512vl"))) inline __m512i thirtyTwoSamples(const Sample *at, __m512i keep)
{
    if constexpr (sizeof(Sample) == 2)
        return _mm512_and_si512(_mm512_loadu_si512(at), keep);
    else
        return _mm512_and_si512(_mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(at))), keep);
}

// Sixteen differences' codes with their extra bits, joined in pairs: each
// pair's value and bit length in a 64-bit lane, the earlier difference in
// the higher bits (31 bits a difference at most, so a pair fits its lane).
__attribute__((target("avx512f,avx512bw,avx512cd,avx512vl"))) inline void
codePairs(__m256i differences, __m512i low, __m512i high, __m512i &pairs, __m512i &lengths)
{
    const __m512i one = _mm512_set1_epi32(1), lowHalves = _mm512_set1_epi64(0xFFFFFFFF);
    const __m512i v = _mm512_cvtepi16_epi32(differences);
    // |-32768| is 32768 here, category 16, the one without extra bits: the
    // extra bits' count is the category's low four bits.
    const __m512i category = _mm512_sub_epi32(_mm512_set1_epi32(32), _mm512_lzcnt_epi32(_mm512_abs_epi32(v)));
    const __m512i entry = _mm512_permutex2var_epi32(low, category, high);
    const __m512i extraBits = _mm512_and_si512(category, _mm512_set1_epi32(15));
    // A negative difference's extra bits are those of d - 1.
    const __m512i extra = _mm512_and_si512(_mm512_add_epi32(v, _mm512_srai_epi32(v, 31)),
                                           _mm512_sub_epi32(_mm512_sllv_epi32(one, extraBits), one));
    const __m512i value = _mm512_or_si512(_mm512_sllv_epi32(_mm512_srli_epi32(entry, 5), extraBits), extra);
    const __m512i length = _mm512_add_epi32(_mm512_and_si512(entry, _mm512_set1_epi32(31)), extraBits);
    const __m512i secondLength = _mm512_srli_epi64(length, 32);
    pairs = _mm512_or_si512(_mm512_sllv_epi64(_mm512_and_si512(value, lowHalves), secondLength), _mm512_srli_epi64(value, 32));
    lengths = _mm512_add_epi64(_mm512_and_si512(length, lowHalves), secondLength);
}

// A row's codes 64 differences at a time, for processors with 512-bit
// vectors: every difference's code with its extra bits computed side by
// side (category from the leading zeros, code from a register-held table),
// then joined in registers up to eight at a time, so the bit writer, the one
// step that must go in order, takes about one store per eight samples.
// The differences are taken here too, from the row's samples (the first
// from `prediction`). Returns how many of the row's samples it coded (a
// multiple of 64).
template <typename Sample>
__attribute__((target("avx512f,avx512bw,avx512cd,avx512vl"))) int
codeRowVector(const Sample *row, int columns, unsigned mask, unsigned prediction, const HuffmanTable &table,
              const VectorCodeTable &codes, BitWriter &out)
{
    BitWriter writer = out; // in registers while the row is coded

    const __m512i low = _mm512_load_si512(codes.entry), high = _mm512_load_si512(codes.entry + 16);
    const __m512i mostBits = _mm512_set1_epi64(57);
    const __m512i keep = _mm512_set1_epi16(int16_t(uint16_t(mask)));
    // The first sample's prediction comes from the caller.
    alignas(64) Sample start[33];
    if (columns >= 64) {
        start[0] = Sample(prediction);
        std::memcpy(start + 1, row, 32 * sizeof(Sample));
    }
    auto differenceAt = [&](int i) { return difference(row[i] & mask, i == 0 ? prediction : (row[i - 1] & mask)); };
    int x = 0;
    for (; x + 64 <= columns; x += 64) {
        // Differences wrap at 2^16, as the format's do.
        const __m512i halves[2] = {
            _mm512_sub_epi16(thirtyTwoSamples(row + x, keep), thirtyTwoSamples(x == 0 ? start : row + x - 1, keep)),
            _mm512_sub_epi16(thirtyTwoSamples(row + x + 32, keep), thirtyTwoSamples(row + x + 31, keep))};
        __m512i pairs[4], pairLengths[4];
        codePairs(_mm512_castsi512_si256(halves[0]), low, high, pairs[0], pairLengths[0]);
        codePairs(_mm512_extracti64x4_epi64(halves[0], 1), low, high, pairs[1], pairLengths[1]);
        codePairs(_mm512_castsi512_si256(halves[1]), low, high, pairs[2], pairLengths[2]);
        codePairs(_mm512_extracti64x4_epi64(halves[1], 1), low, high, pairs[3], pairLengths[3]);
        __m512i fours[2], fourLengths[2], eights, eightLengths;
        joinPairs(pairs[0], pairLengths[0], pairs[1], pairLengths[1], fours[0], fourLengths[0]);
        joinPairs(pairs[2], pairLengths[2], pairs[3], pairLengths[3], fours[1], fourLengths[1]);
        joinPairs(fours[0], fourLengths[0], fours[1], fourLengths[1], eights, eightLengths);
        alignas(64) uint64_t eight[8], eightLength[8], four[16], fourLength[16];
        _mm512_store_si512(eight, eights);
        _mm512_store_si512(eightLength, eightLengths);
        _mm512_store_si512(four, fours[0]);
        _mm512_store_si512(four + 8, fours[1]);
        _mm512_store_si512(fourLength, fourLengths[0]);
        _mm512_store_si512(fourLength + 8, fourLengths[1]);
        // Eight codes in one store where they fit it (nine in ten on CT),
        // else as two fours; fours too long for one (large differences
        // only) go one code at a time.
        const unsigned longFours = _mm512_cmpgt_epu64_mask(fourLengths[0], mostBits) |
                                   (unsigned(_mm512_cmpgt_epu64_mask(fourLengths[1], mostBits)) << 8);
        if (longFours == 0) [[likely]] {
            for (int j = 0; j < 8; ++j) {
                if (eightLength[j] <= 57) {
                    writer.put(eight[j], int(eightLength[j]));
                } else {
                    writer.put(four[2 * j], int(fourLength[2 * j]));
                    writer.put(four[2 * j + 1], int(fourLength[2 * j + 1]));
                }
            }
            continue;
        }
        for (int j = 0; j < 8; ++j) {
            if (eightLength[j] <= 57) {
                writer.put(eight[j], int(eightLength[j]));
                continue;
            }
            for (int f = 2 * j; f < 2 * j + 2; ++f) {
                if (fourLength[f] <= 57) {
                    writer.put(four[f], int(fourLength[f]));
                    continue;
                }
                for (int i = x + 4 * f; i < x + 4 * f + 4; ++i) {
                    uint32_t bits;
                    int length;
                    codeOf(table, differenceAt(i), bits, length);
                    writer.put(bits, length);
                }
            }
        }
    }
    out = writer;
    return x;
}
#pragma GCC diagnostic pop
#endif

template <typename Sample>
bool encodeFrame(const Sample *samples, int rows, int columns, int precision, std::vector<uint8_t> &out, size_t &length)
{
    if (!samples || rows < 1 || columns < 1 || rows > 65535 || columns > 65535 || precision < 2 || precision > 16)
        return false;
    const unsigned mask = precision == 16 ? 0xFFFFu : ((1u << precision) - 1u);
    const unsigned first = 1u << (precision - 1);
    // Bands of rows, each one a restart interval: the decoder can work on
    // several side by side, where one stream's bits allow only one sample
    // at a time. An interval counts samples in 16 bits.
    constexpr int kBands = 8;
    const int bandRows = std::max(1, std::min((rows + kBands - 1) / kBands, 65535 / columns));
    const bool restarts = bandRows < rows;
    // Each band starts as the image does, from the middle of the range.
    auto startsBand = [&](int y) { return y % bandRows == 0; };
    // Pass one: how often each difference category occurs. Every eighth row
    // tells the frame's statistics as well as all of them (same size to a
    // tenth of a per cent on CT; 0.02 % above every fourth row's, which took
    // a ninth of the encoding more) at an eighth of the pass; every category
    // keeps a code, so a difference the sample missed is still coded.
    constexpr int kSampledRow = 8;
    std::vector<int16_t> differences(size_t(columns) + 8);
    std::vector<uint8_t> smallFour(size_t(columns) / 4 + 2);
    std::array<uint32_t, kSymbols> histogram{};
    for (int y = 0; y < rows; y += kSampledRow) {
        const unsigned prediction = startsBand(y) ? first : (samples[size_t(y - 1) * size_t(columns)] & mask);
        rowDifferences(samples + size_t(y) * size_t(columns), columns, mask, prediction, differences.data(),
                       smallFour.data());
        countCategories(differences.data(), columns, histogram);
    }
    for (auto &count : histogram)
        ++count;
    HuffmanTable table;
    buildTable(histogram, table);
    // The differences of most images are small: their codes with extra bits
    // looked up at once, (bits << 5) | length.
    constexpr int kSmall = kSmallDifference;
    std::array<uint32_t, 2 * kSmall + 1> small;
    for (int d = -kSmall; d <= kSmall; ++d) {
        uint32_t bits;
        int length;
        codeOf(table, d, bits, length);
        small[size_t(d + kSmall)] = (bits << 5) | uint32_t(length);
    }
#if defined(PACS_VECTOR_CODES)
    const bool vector = !portableCoder.load(std::memory_order_relaxed) && vectorCodesAvailable();
    VectorCodeTable vectorTable;
    for (int c = 0; c < kSymbols; ++c)
        vectorTable.entry[c] = (uint32_t(table.code[size_t(c)]) << 5) | table.length[size_t(c)];
#endif

    // The headers first apart, then at the start of `out`, which keeps the
    // size it had: growing it zero-fills, and the last frame's length is
    // about the next one's.
    std::vector<uint8_t> head;
    head.reserve(64);
    const uint8_t header[] = {0xFF, 0xD8, 0xFF, 0xC3, 0x00, 0x0B, uint8_t(precision)};
    head.insert(head.end(), header, header + sizeof(header));
    putWord(head, unsigned(rows));
    putWord(head, unsigned(columns));
    const uint8_t component[] = {0x01, 0x01, 0x11, 0x00, 0xFF, 0xC4};
    head.insert(head.end(), component, component + sizeof(component));
    putWord(head, unsigned(2 + 1 + kMaxCodeLength + table.values.size()));
    head.push_back(0x00); // class 0, table 0
    head.insert(head.end(), table.bits.begin() + 1, table.bits.end());
    head.insert(head.end(), table.values.begin(), table.values.end());
    if (restarts) {
        const uint8_t interval[] = {0xFF, 0xDD, 0x00, 0x04};
        head.insert(head.end(), interval, interval + sizeof(interval));
        putWord(head, unsigned(bandRows * columns));
    }
    // One component, table 0; predictor 1, no point transform.
    const uint8_t scan[] = {0xFF, 0xDA, 0x00, 0x08, 0x01, 0x01, 0x00, 0x01, 0x00, 0x00};
    head.insert(head.end(), scan, scan + sizeof(scan));

    // Pass two: the codes. Each row's differences first, eight at a time,
    // with a note per four of whether all of them are small; then their codes.
    const uint32_t *const centre = small.data() + kSmall;
    // A byte a sample holds most images' codes; one row's worst case past it.
    const size_t expected = head.size() + size_t(rows) * size_t(columns) + size_t(columns) * 8 + 128;
    if (out.size() < expected) {
        out.clear(); // nothing in it is kept: no copy when it moves
        out.resize(expected);
    }
    std::memcpy(out.data(), head.data(), head.size());
    BitWriter writer(out);
    writer.used() = head.size();
    for (int y = 0; y < rows; ++y) {
        writer.reserve(size_t(columns) * 8 + 16); // 31 bits a sample at most, doubled by stuffing
        if (y > 0 && startsBand(y)) {
            writer.align();
            writer.putMarker(uint8_t(0xD0 + ((y / bandRows - 1) & 7)));
        }
        const Sample *row = samples + size_t(y) * size_t(columns);
        const unsigned prediction = startsBand(y) ? first : (samples[size_t(y - 1) * size_t(columns)] & mask);
        int x = 0;
#if defined(PACS_VECTOR_CODES)
        if (vector)
            x = codeRowVector(row, columns, mask, prediction, table, vectorTable, writer);
#endif
        // The rest of the row (all of it without the vector coder) from its differences.
        if (x < columns)
            rowDifferences(row + x, columns - x, mask, x == 0 ? prediction : (row[x - 1] & mask),
                           differences.data() + x, smallFour.data() + x / 4);
        const int16_t *d = differences.data();
        // Eight samples' codes at a time where all eight are small: in one
        // store when they fit it (the usual case: a few bits each), else by
        // fours or pairs; a four with a large difference, and the row's last
        // one, go one code at a time.
        auto pairOf = [centre, d](int at, int &length) {
            const uint32_t e0 = centre[d[at]], e1 = centre[d[at + 1]];
            const int l1 = int(e1 & 31);
            length = int(e0 & 31) + l1;
            return (uint64_t(e0 >> 5) << l1) | (e1 >> 5);
        };
        while (x + 3 < columns) {
            for (; x + 7 < columns; x += 8) {
                if (!(smallFour[size_t(x / 4)] & smallFour[size_t(x / 4 + 1)])) [[unlikely]]
                    break;
                int lab, lcd, lef, lgh;
                const uint64_t ab = pairOf(x, lab), cd = pairOf(x + 2, lcd);
                const uint64_t ef = pairOf(x + 4, lef), gh = pairOf(x + 6, lgh);
                const int labcd = lab + lcd, lefgh = lef + lgh;
                if (labcd + lefgh <= 57) [[likely]] {
                    writer.put((((ab << lcd) | cd) << lefgh) | (ef << lgh) | gh, labcd + lefgh);
                    continue;
                }
                if (labcd <= 57) {
                    writer.put((ab << lcd) | cd, labcd);
                } else {
                    writer.put(ab, lab);
                    writer.put(cd, lcd);
                }
                if (lefgh <= 57) {
                    writer.put((ef << lgh) | gh, lefgh);
                } else {
                    writer.put(ef, lef);
                    writer.put(gh, lgh);
                }
            }
            if (x + 3 >= columns)
                break;
            for (int k = 0; k < 4; ++k) {
                uint32_t bits;
                int length;
                codeOf(table, d[x + k], bits, length);
                writer.put(bits, length);
            }
            x += 4;
        }
        for (; x < columns; ++x) {
            uint32_t bits;
            int length;
            codeOf(table, d[x], bits, length);
            writer.put(bits, length);
        }
    }
    writer.reserve(8);
    writer.finish();
    out[writer.used()++] = 0xFF;
    out[writer.used()++] = 0xD9;
    length = writer.used();
    return true;
}

// ---- Reading ----------------------------------------------------------------

constexpr uint8_t kWhole = 0, kCode = 0x80, kNone = 0x40;

// One entry per kLookupBits-bit prefix of the coded bits, four bytes so the
// table stays within the first-level cache.
struct LookupEntry
{
    int16_t difference = 0; // modulo 2^16, as samples wrap (32768 is kept as -32768)
    uint8_t length = 0;     // bits the entry takes
    uint8_t info = kNone;   // kWhole: code and extra bits; kCode | category: the code alone; kNone: longer code
};

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
// be a good part of a decoding thread's stack.
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
                            const LookupEntry entry{int16_t(uint16_t(extraToDifference(bits, c))),
                                                    uint8_t(len + extra), kWhole};
                            const size_t base = size_t(((code << extra) | bits) << shift);
                            std::fill(table.lookup.begin() + base, table.lookup.begin() + base + (size_t(1) << shift),
                                      entry);
                        }
                    } else {
                        const int shift = kLookupBits - len;
                        const LookupEntry entry{0, uint8_t(len), uint8_t(kCode | (c & 0x3F))};
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

struct Band
{
    const uint8_t *begin = nullptr;
    const uint8_t *end = nullptr;
};

// Reads the coded bits of one interval from its bytes with the stuffing taken
// out (Unstuffed below): the state is a bit position alone, so that four
// intervals decoded side by side keep theirs in registers, and each read is a
// load and two shifts with no refill to wait for.
class BitReader
{
public:
    BitReader() = default;
    BitReader(const uint8_t *bytes, uint64_t position) : m_bytes(bytes), m_position(position) {}

    uint32_t peek(int n) const // 1 <= n <= 32
    {
        uint64_t word;
        std::memcpy(&word, m_bytes + (m_position >> 3), sizeof word);
        return uint32_t((__builtin_bswap64(word) << (m_position & 7)) >> (64 - n));
    }
    void skip(int n) { m_position += uint64_t(n); }
    uint64_t position() const { return m_position; }

private:
    const uint8_t *m_bytes = nullptr;
    uint64_t m_position = 0;
};

// The intervals' bytes as the coder made them, without the zero byte stuffed
// after each 0xFF, one after the other, each ending where its marker begins;
// zeros follow the last one, as many as a row of samples could read past it
// (32 bits a sample at most), so no read leaves the buffer before the row's
// check finds an interval that ran past its end.
class Unstuffed
{
public:
    void take(const std::vector<Band> &bands, int columns);
    // A buffer kept for the next frame only up to a size most frames need.
    void trim()
    {
        if (m_bytes.size() > kKept)
            std::vector<uint8_t>().swap(m_bytes);
    }
    const uint8_t *bytes() const { return m_bytes.data(); }
    uint64_t beginBit(size_t band) const { return m_begin[band] * 8; }
    uint64_t endBit(size_t band) const { return m_end[band] * 8; }

private:
    static constexpr size_t kKept = 8 * 1024 * 1024;
    std::vector<uint8_t> m_bytes;
    std::vector<size_t> m_begin, m_end;
};

// A category whose code is longer than the lookup; -1 for a code the table does not have.
[[gnu::always_inline]] inline int decodeLongSymbol(BitReader &reader, const DecodeTable &table)
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
    int restartRows = 0;           // rows per restart interval; 0 for none
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
    unsigned restartInterval = 0;
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
            restartInterval = word(segment);
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
            // Intervals of whole rows decode band by band; others are rare
            // enough to leave to DCMTK.
            if (restartInterval % unsigned(parsed.header.columns) != 0)
                return fail(R::Unsupported, "restart interval of part of a row", error);
            parsed.restartRows = int(restartInterval / unsigned(parsed.header.columns));
            parsed.table = tables[size_t(td)].get();
            parsed.scan = next;
            return R::Ok;
        }
        p = next;
    }
}

// The coded bytes of one restart interval: from `begin` up to the marker that ends it.
// Finds where each interval's bytes begin and end. Restart markers come in
// order RST0..RST7 and around again; a missing or misplaced one is damage.
bool findBands(const uint8_t *scan, const uint8_t *end, int count, std::vector<Band> &bands)
{
    bands.assign(size_t(count), Band{});
    const uint8_t *p = scan;
    for (int b = 0; b < count; ++b) {
        bands[size_t(b)].begin = p;
        const uint8_t *q = p;
        for (;;) {
            q = static_cast<const uint8_t *>(std::memchr(q, 0xFF, size_t(end - q)));
            if (!q) {
                q = end;
                break;
            }
            if (q + 1 < end && q[1] == 0x00) {
                q += 2;
                continue;
            }
            break;
        }
        bands[size_t(b)].end = q;
        if (b + 1 == count)
            break;
        while (q < end && *q == 0xFF)
            ++q;
        if (q >= end || *q != 0xD0 + (b & 7))
            return false;
        p = q + 1;
    }
    return true;
}

void Unstuffed::take(const std::vector<Band> &bands, int columns)
{
    size_t total = 0;
    for (const Band &band : bands)
        total += size_t(band.end - band.begin);
    const size_t slack = size_t(columns) * 4 + 16;
    if (m_bytes.size() < total + slack)
        m_bytes.resize(total + slack);
    m_begin.assign(bands.size(), 0);
    m_end.assign(bands.size(), 0);
    uint8_t *out = m_bytes.data();
    for (size_t b = 0; b < bands.size(); ++b) {
        m_begin[b] = size_t(out - m_bytes.data());
        const uint8_t *p = bands[b].begin;
        const uint8_t *const end = bands[b].end;
        while (p < end) {
            const auto *ff = static_cast<const uint8_t *>(std::memchr(p, 0xFF, size_t(end - p)));
            const uint8_t *const stop = ff ? ff : end;
            std::memcpy(out, p, size_t(stop - p));
            out += stop - p;
            if (!ff || ff + 1 >= end || ff[1] != 0x00)
                break; // the interval's end, or a marker inside it: what follows is not data
            *out++ = 0xFF;
            p = ff + 2;
        }
        m_end[b] = size_t(out - m_bytes.data());
    }
    std::memset(out, 0, slack);
}

// One sample, from bits the reader already holds: false for a code the
// table does not have. The prediction wraps as the stored sample does.
template <typename Sample>
[[gnu::always_inline]] inline bool decodeSample(BitReader &reader, const DecodeTable &table, unsigned &prediction,
                                                Sample *out)
{
    const LookupEntry entry = table.lookup[reader.peek(kLookupBits)];
    int d;
    if (entry.info == kWhole) [[likely]] {
        reader.skip(entry.length);
        d = entry.difference;
    } else {
        int c;
        if (entry.info != kNone) {
            reader.skip(entry.length);
            c = entry.info & 0x3F;
        } else {
            c = decodeLongSymbol(reader, table);
        }
        if (c < 0 || c > 16)
            return false;
        const int extra = c == 0 || c == 16 ? 0 : c;
        const int bits = extra ? int(reader.peek(extra)) : 0;
        reader.skip(extra);
        d = extraToDifference(bits, c);
    }
    prediction += unsigned(d);
    *out = Sample(prediction);
    return true;
}

// `Lanes` intervals of `rows` rows each, decoded side by side: each one's
// bits depend on the previous sample's code, so one interval alone keeps the
// core waiting on that chain; several interleaved fill the waits.
template <int Lanes, typename Sample>
bool decodeLanes(const Unstuffed &data, size_t firstBand, const DecodeTable &table, Sample *out, int rows, int columns,
                 size_t laneStride, unsigned first)
{
    BitReader lane[Lanes];
    uint64_t endBit[Lanes];
    for (int l = 0; l < Lanes; ++l) {
        lane[l] = BitReader(data.bytes(), data.beginBit(firstBand + size_t(l)));
        endBit[l] = data.endBit(firstBand + size_t(l));
    }
    for (int y = 0; y < rows; ++y) {
        Sample *row = out + size_t(y) * size_t(columns);
        unsigned prediction[Lanes];
#pragma GCC unroll 8
        for (int l = 0; l < Lanes; ++l)
            prediction[l] = y == 0 ? first : unsigned(row[ptrdiff_t(laneStride * size_t(l)) - ptrdiff_t(columns)]);
        for (int x = 0; x < columns; ++x) {
#pragma GCC unroll 8
            for (int l = 0; l < Lanes; ++l)
                if (!decodeSample(lane[l], table, prediction[l], row + laneStride * size_t(l) + size_t(x)))
                    [[unlikely]] return false;
        }
        // An interval that read past its bytes is damaged; found here, before
        // the next row could read past the zeros after the last one.
        for (int l = 0; l < Lanes; ++l)
            if (lane[l].position() > endBit[l]) [[unlikely]]
                return false;
    }
    return true;
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
    const unsigned first = 1u << (h.precision - 1);
    const uint8_t *end = data + size;
    const int bandRows = parsed.restartRows > 0 && parsed.restartRows < h.rows ? parsed.restartRows : h.rows;
    const int count = (h.rows + bandRows - 1) / bandRows;
    std::vector<Band> bands;
    if (count == 1)
        bands.push_back({parsed.scan, end});
    else if (!findBands(parsed.scan, end, count, bands))
        return fail(R::Corrupt, "restart marker missing or out of order", error);
    thread_local Unstuffed unstuffed; // kept from frame to frame: one buffer per decoding thread
    unstuffed.take(bands, h.columns);
    struct Trim
    {
        Unstuffed &kept;
        ~Trim() { kept.trim(); }
    } trimmed{unstuffed};
    const size_t stride = size_t(bandRows) * size_t(h.columns);
    int b = 0;
    // Whole bands eight or four at a time (our coder makes eight), then the
    // rest (the last band may be shorter) one by one.
    auto lanes = [&](auto width) {
        constexpr int kLanes = decltype(width)::value;
        for (; b + kLanes <= count && (b + kLanes) * bandRows <= h.rows; b += kLanes)
            if (!decodeLanes<kLanes>(unstuffed, size_t(b), *parsed.table, out + stride * size_t(b), bandRows,
                                     h.columns, stride, first))
                return false;
        return true;
    };
    if (!lanes(std::integral_constant<int, 8>()) || !lanes(std::integral_constant<int, 4>()))
        return fail(R::Corrupt, "invalid Huffman code or the stream ends inside the frame", error);
    for (; b < count; ++b) {
        const int rows = std::min(bandRows, h.rows - b * bandRows);
        if (!decodeLanes<1>(unstuffed, size_t(b), *parsed.table, out + stride * size_t(b), rows, h.columns, stride,
                            first))
            return fail(R::Corrupt, "invalid Huffman code or the stream ends inside the frame", error);
    }
    return R::Ok;
}

} // namespace

bool LosslessJpeg::encode(const uint16_t *samples, int rows, int columns, int precision, std::vector<uint8_t> &buffer,
                          size_t &length)
{
    return encodeFrame(samples, rows, columns, precision, buffer, length);
}

bool LosslessJpeg::encode(const uint8_t *samples, int rows, int columns, int precision, std::vector<uint8_t> &buffer,
                          size_t &length)
{
    return precision <= 8 && encodeFrame(samples, rows, columns, precision, buffer, length);
}

void LosslessJpeg::useCoder(Coder coder)
{
    portableCoder.store(coder == Coder::Portable);
}

bool LosslessJpeg::vectorCoder()
{
#if defined(PACS_VECTOR_CODES)
    return vectorCodesAvailable();
#else
    return false;
#endif
}

bool LosslessJpeg::encode(const uint16_t *samples, int rows, int columns, int precision, std::vector<uint8_t> &out)
{
    size_t length = 0;
    if (!encode(samples, rows, columns, precision, out, length))
        return false;
    out.resize(length);
    return true;
}

bool LosslessJpeg::encode(const uint8_t *samples, int rows, int columns, int precision, std::vector<uint8_t> &out)
{
    size_t length = 0;
    if (!encode(samples, rows, columns, precision, out, length))
        return false;
    out.resize(length);
    return true;
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

// Our lossless JPEG coder against DCMTK's own (libijg16 behind DJEncoderLossless
// and DJDecoderLossless, called directly): each decodes what the other
// encodes to the same native pixel bytes, over bit depths, signs, sizes and
// frame counts; damaged streams are errors.

#include "dicom/toolkit/detail/GuardedJpegDecoder.h"
#include "dicom/toolkit/detail/LosslessJpeg.h"
#include "dicom/toolkit/detail/LosslessJpegCodec.h"
#include "dicom/toolkit/detail/Runtime.h"
#include "tests/support/TestSupport.h"
#include "tests/toolkit/ToolkitTestSupport.h"

#include <QFile>
#include <QTemporaryDir>

#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcpixel.h>
#include <dcmtk/dcmdata/dcpixseq.h>
#include <dcmtk/dcmdata/dcpxitem.h>
#include <dcmtk/dcmdata/dcstack.h>
#include <dcmtk/dcmdata/dcvrpobw.h>
#include <dcmtk/dcmjpeg/djcparam.h>
#include <dcmtk/dcmjpeg/djdeclol.h>
#include <dcmtk/dcmjpeg/djenclol.h>
#include <dcmtk/dcmjpeg/djrplol.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

using namespace pacs::toolkit::detail;

namespace {

// Jumps: smooth on every fourth row, the rows between swing from end to end
// of the range (differences the encoder's sampled statistics never see).
enum class Pattern { Noise, Smooth, Zero, Max, Min, Jumps, Bursts, Ramp };

struct Case
{
    int rows, columns, frames, allocated, stored;
    bool sgnd;
    Pattern pattern;

    std::string name() const
    {
        static const char *patterns[] = {"noise", "smooth", "zero", "max", "min", "jumps", "bursts", "ramp"};
        return std::to_string(rows) + "x" + std::to_string(columns) + "x" + std::to_string(frames) + " "
               + std::to_string(allocated) + "/" + std::to_string(stored) + (sgnd ? " signed " : " unsigned ")
               + patterns[int(pattern)];
    }
};

// Native pixel bytes as a writer of the image would have them: values within
// the stored range, signed ones sign-extended over the allocated bits.
std::vector<Uint8> makePixels(const Case &c)
{
    std::mt19937 random(uint32_t(c.rows * 131 + c.columns * 7 + c.stored + (c.sgnd ? 1000 : 0) + int(c.pattern)));
    const long low = c.sgnd ? -(1L << (c.stored - 1)) : 0;
    const long high = c.sgnd ? (1L << (c.stored - 1)) - 1 : (1L << c.stored) - 1;
    std::uniform_int_distribution<long> any(low, high), step(-3, 3);
    const size_t count = size_t(c.rows) * c.columns * c.frames;
    std::vector<Uint8> bytes(count * (c.allocated / 8));
    long value = (low + high) / 2;
    for (size_t i = 0; i < count; ++i) {
        switch (c.pattern) {
        case Pattern::Noise: value = any(random); break;
        case Pattern::Smooth: value = std::clamp(value + step(random), low, high); break;
        case Pattern::Zero: value = 0; break;
        case Pattern::Max: value = high; break;
        case Pattern::Min: value = low; break;
        case Pattern::Jumps:
            if ((i / size_t(c.columns)) % 4 == 0)
                value = std::clamp(value + step(random), low, high);
            else
                value = (i % 2) ? low : high;
            break;
        case Pattern::Bursts:
            // Smooth, but where a row begins its 128 columns, eight samples
            // alternate by 1500: differences the codes of a smooth image make
            // rare and long, several of them side by side.
            value = std::clamp(value + step(random), low, high - 1500);
            break;
        case Pattern::Ramp: // one up from each sample to the next, from the low end on each row
            value = low + long(i % size_t(c.columns)) % (high - low + 1);
            break;
        }
        const bool burst = c.pattern == Pattern::Bursts && (i % size_t(c.columns)) % 128 < 8 && i % 2 == 1;
        const unsigned word = unsigned(burst ? value + 1500 : value) & (c.allocated == 8 ? 0xFFu : 0xFFFFu);
        if (c.allocated == 8) {
            bytes[i] = Uint8(word);
        } else {
            const Uint16 w = Uint16(word);
            std::memcpy(&bytes[2 * i], &w, 2);
        }
    }
    return bytes;
}

std::unique_ptr<DcmDataset> makeDataset(const Case &c, const std::vector<Uint8> &pixels)
{
    auto ds = std::make_unique<DcmDataset>();
    ds->putAndInsertString(DCM_SOPClassUID, "1.2.840.10008.5.1.4.1.1.7");
    ds->putAndInsertString(DCM_SOPInstanceUID, "1.2.826.0.1.3680043.10.99.77");
    ds->putAndInsertString(DCM_PhotometricInterpretation, "MONOCHROME2");
    ds->putAndInsertUint16(DCM_SamplesPerPixel, 1);
    ds->putAndInsertUint16(DCM_Rows, Uint16(c.rows));
    ds->putAndInsertUint16(DCM_Columns, Uint16(c.columns));
    ds->putAndInsertUint16(DCM_BitsAllocated, Uint16(c.allocated));
    ds->putAndInsertUint16(DCM_BitsStored, Uint16(c.stored));
    ds->putAndInsertUint16(DCM_HighBit, Uint16(c.stored - 1));
    ds->putAndInsertUint16(DCM_PixelRepresentation, c.sgnd ? 1 : 0);
    if (c.frames > 1) {
        ds->putAndInsertString(DCM_NumberOfFrames, std::to_string(c.frames).c_str());
        ds->putAndInsertString(DCM_DerivationDescription, "an earlier step");
    }
    if (c.allocated == 8)
        ds->putAndInsertUint8Array(DCM_PixelData, pixels.data(), Uint32(pixels.size()));
    else
        ds->putAndInsertUint16Array(DCM_PixelData, reinterpret_cast<const Uint16 *>(pixels.data()),
                                    Uint32(pixels.size() / 2));
    return ds;
}

DJCodecParameter &dcmtkParameter()
{
    static DJCodecParameter parameter(ECC_lossyYCbCr, EDC_photometricInterpretation, EUC_default, EPC_default);
    return parameter;
}

// What a codec is handed by DCMTK: the dataset under its pixel data element.
DcmStack pixelStack(DcmDataset &ds)
{
    DcmStack stack;
    DcmElement *pixel = nullptr;
    EXPECT_TRUE(ds.findAndGetElement(DCM_PixelData, pixel).good());
    stack.push(&ds);
    stack.push(pixel);
    return stack;
}

struct Encoded
{
    OFCondition condition = EC_Normal;
    std::unique_ptr<DcmPixelSequence> sequence;
};

Encoded encodeWith(const DcmCodec &codec, DcmDataset &ds)
{
    Encoded out;
    DcmStack stack = pixelStack(ds);
    auto *pixel = static_cast<DcmPixelData *>(stack.top());
    Uint16 *words = nullptr;
    EXPECT_TRUE(pixel->getUint16Array(words).good());
    DJ_RPLossless rep(1, 0);
    DcmPixelSequence *sequence = nullptr;
    OFBool removeOld = OFFalse;
    out.condition = codec.encode(words, pixel->getLength(), &rep, sequence, &dcmtkParameter(), stack, removeOld);
    out.sequence.reset(sequence);
    return out;
}

struct Decoded
{
    OFCondition condition = EC_Normal;
    std::vector<Uint8> bytes;
};

// Decodes `sequence` with the image attributes of `ds`.
Decoded decodeWith(const DcmCodec &codec, DcmDataset &ds, DcmPixelSequence &sequence, size_t size)
{
    Decoded out;
    std::unique_ptr<DcmDataset> copy(static_cast<DcmDataset *>(ds.clone()));
    DcmStack stack = pixelStack(*copy);
    DcmPolymorphOBOW target(DCM_PixelData);
    OFBool removeOld = OFFalse;
    out.condition = codec.decode(nullptr, &sequence, target, &dcmtkParameter(), stack, removeOld);
    Uint16 *words = nullptr;
    if (out.condition.good() && target.getUint16Array(words).good() && words) {
        const Uint8 *bytes = reinterpret_cast<const Uint8 *>(words);
        out.bytes.assign(bytes, bytes + std::min<size_t>(size, target.getLength()));
    }
    return out;
}

std::vector<std::vector<Uint8>> fragments(DcmPixelSequence &sequence)
{
    std::vector<std::vector<Uint8>> out;
    for (unsigned long i = 1; i < sequence.card(); ++i) {
        DcmPixelItem *item = nullptr;
        Uint8 *bytes = nullptr;
        if (sequence.getItem(item, i).good() && item->getUint8Array(bytes).good() && bytes)
            out.emplace_back(bytes, bytes + item->getLength());
    }
    return out;
}

// The dataset as text; the compression ratio differs with the entropy coder.
std::string printed(DcmDataset &ds)
{
    std::ostringstream out;
    ds.print(out);
    const std::string text = std::regex_replace(out.str(), std::regex("compression ratio [0-9.E+-]+"), "ratio R");
    return std::regex_replace(text, std::regex("# *[0-9]+, 1 DerivationDescription"), "DerivationDescription");
}

Uint32 offsetTableLength(DcmPixelSequence &sequence)
{
    DcmPixelItem *table = nullptr;
    return sequence.getItem(table, 0).good() && table ? table->getLength() : 0xFFFFFFFFu;
}

// The bytes an 8-bit frame set occupies inside the words of pixel data.
std::vector<Uint8> asElementBytes(const Case &c, std::vector<Uint8> bytes)
{
    (void)c;
    return bytes;
}

} // namespace

TEST(LosslessJpeg, OursAndDcmtksCodersDecodeEachOthersStreamsToTheSamePixels)
{
    initializeRuntime();
    const std::vector<Case> cases = {
        {64, 67, 1, 16, 12, false, Pattern::Noise},   {64, 67, 1, 16, 12, false, Pattern::Smooth},
        {33, 31, 1, 16, 12, true, Pattern::Noise},    {33, 31, 1, 16, 12, true, Pattern::Smooth},
        {40, 41, 1, 16, 16, false, Pattern::Noise},   {40, 41, 1, 16, 16, true, Pattern::Noise},
        {40, 41, 1, 16, 16, false, Pattern::Smooth},  {29, 37, 1, 8, 8, false, Pattern::Noise},
        {29, 37, 1, 8, 8, true, Pattern::Smooth},     {1, 1, 1, 16, 12, false, Pattern::Noise},
        {1, 1, 1, 8, 8, false, Pattern::Max},         {17, 19, 3, 16, 12, false, Pattern::Smooth},
        {17, 19, 3, 8, 8, false, Pattern::Noise},     {16, 16, 1, 16, 12, false, Pattern::Zero},
        {16, 16, 1, 16, 16, false, Pattern::Max},     {16, 16, 1, 16, 12, true, Pattern::Min},
        {16, 16, 1, 16, 12, true, Pattern::Max},      {16, 15, 1, 16, 16, true, Pattern::Min},
        {16, 16, 1, 8, 7, false, Pattern::Max},       {9, 11, 2, 16, 10, true, Pattern::Noise},
        // So wide that each row is an interval: the restart markers go round RST0..RST7 more than twice.
        {20, 40000, 1, 16, 12, false, Pattern::Smooth},
        {24, 33, 1, 16, 16, false, Pattern::Jumps},   {24, 33, 1, 16, 12, true, Pattern::Jumps},
        {13, 21, 2, 8, 8, false, Pattern::Jumps},
        {24, 261, 1, 16, 12, false, Pattern::Bursts}, {16, 130, 1, 16, 16, true, Pattern::Bursts},
    };
    const LosslessJpegCodec ours(EXS_JPEGProcess14);
    const DJEncoderLossless dcmtkEncoder;
    const DJDecoderLossless dcmtkDecoder;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name());
        const std::vector<Uint8> original = makePixels(c);
        auto ds = makeDataset(c, original);

        std::unique_ptr<DcmDataset> theirDs(static_cast<DcmDataset *>(ds->clone()));
        Encoded mine = encodeWith(ours, *ds);
        ASSERT_TRUE(mine.condition.good()) << mine.condition.text();
        Encoded theirs = encodeWith(dcmtkEncoder, *theirDs);
        ASSERT_TRUE(theirs.condition.good()) << theirs.condition.text();
        // The attributes and the offset table come out as DCMTK's encoder leaves them.
        EXPECT_EQ(printed(*ds), printed(*theirDs));
        EXPECT_EQ(offsetTableLength(*mine.sequence), offsetTableLength(*theirs.sequence));

        // The fast path took our streams, and reads DCMTK's.
        const auto myFrames = fragments(*mine.sequence), theirFrames = fragments(*theirs.sequence);
        ASSERT_EQ(myFrames.size(), size_t(c.frames));
        ASSERT_EQ(theirFrames.size(), size_t(c.frames));
        if (c.rows * c.columns > 16)
            EXPECT_NE(myFrames, theirFrames) << "the codec handed the image to DCMTK's encoder";
        for (size_t f = 0; f < myFrames.size(); ++f) {
            LosslessJpegHeader mineHeader, theirHeader;
            EXPECT_EQ(myFrames[f].size() % 2, 0u);
            ASSERT_EQ(LosslessJpeg::readHeader(myFrames[f].data(), myFrames[f].size(), mineHeader),
                      LosslessJpeg::Result::Ok);
            ASSERT_EQ(LosslessJpeg::readHeader(theirFrames[f].data(), theirFrames[f].size(), theirHeader),
                      LosslessJpeg::Result::Ok);
            EXPECT_EQ(mineHeader.precision, theirHeader.precision);
            EXPECT_EQ(mineHeader.rows, c.rows);
            EXPECT_EQ(mineHeader.columns, c.columns);
        }

        const size_t size = original.size();
        const Decoded dcmtkOfMine = decodeWith(dcmtkDecoder, *ds, *mine.sequence, size);
        const Decoded oursOfMine = decodeWith(ours, *ds, *mine.sequence, size);
        const Decoded dcmtkOfTheirs = decodeWith(dcmtkDecoder, *ds, *theirs.sequence, size);
        const Decoded oursOfTheirs = decodeWith(ours, *ds, *theirs.sequence, size);
        ASSERT_TRUE(dcmtkOfMine.condition.good() && oursOfMine.condition.good() && dcmtkOfTheirs.condition.good()
                    && oursOfTheirs.condition.good());
        EXPECT_EQ(dcmtkOfTheirs.bytes, asElementBytes(c, original)) << "DCMTK's own round trip";
        EXPECT_EQ(dcmtkOfMine.bytes, dcmtkOfTheirs.bytes) << "DCMTK decoding our stream";
        EXPECT_EQ(oursOfTheirs.bytes, dcmtkOfTheirs.bytes) << "our decoder on DCMTK's stream";
        EXPECT_EQ(oursOfMine.bytes, dcmtkOfTheirs.bytes) << "our round trip";
    }
}

// The codes come from statistics of every eighth row: where the rows are
// alike, the frame is as short as with the whole frame's statistics, which
// DCMTK's encoder gathers for more than 8 bits.
TEST(LosslessJpeg, FramesAreAsShortAsWithTheWholeFramesStatistics)
{
    initializeRuntime();
    const LosslessJpegCodec ours(EXS_JPEGProcess14);
    const DJEncoderLossless dcmtkEncoder;
    const Case cases[] = {{128, 512, 1, 16, 12, false, Pattern::Noise}, {128, 512, 1, 16, 12, true, Pattern::Smooth},
                          {96, 300, 1, 16, 16, false, Pattern::Smooth}, {64, 5000, 1, 16, 10, false, Pattern::Smooth},
                          {32, 5000, 1, 16, 16, false, Pattern::Ramp}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name());
        const std::vector<Uint8> original = makePixels(c);
        auto ds = makeDataset(c, original);
        std::unique_ptr<DcmDataset> theirDs(static_cast<DcmDataset *>(ds->clone()));
        const Encoded mine = encodeWith(ours, *ds), theirs = encodeWith(dcmtkEncoder, *theirDs);
        ASSERT_TRUE(mine.condition.good() && theirs.condition.good());
        const auto myFrames = fragments(*mine.sequence), theirFrames = fragments(*theirs.sequence);
        ASSERT_EQ(myFrames.size(), 1u);
        ASSERT_EQ(theirFrames.size(), 1u);
        // Eight restart markers and their padding at most beside DCMTK's single scan.
        EXPECT_LE(double(myFrames[0].size()), double(theirFrames[0].size()) * 1.003 + 40)
            << "ours " << myFrames[0].size() << " bytes, DCMTK's " << theirFrames[0].size();
    }
}

// Where the processor has 512-bit vectors the encoder codes 64 samples at a
// time; the portable coder must write the very same bytes, over widths about
// 64's multiples, long codes (full-range noise, bursts, the one difference
// of 16 bits) and both sample sizes.
TEST(LosslessJpeg, TheVectorAndPortableCodersWriteTheSameBytes)
{
    if (!LosslessJpeg::vectorCoder())
        GTEST_SKIP() << "no 512-bit vectors on this processor";
    struct Restore
    {
        ~Restore() { LosslessJpeg::useCoder(LosslessJpeg::Coder::Fastest); }
    } restore;
    const std::vector<Case> cases = {
        {8, 64, 1, 16, 12, false, Pattern::Noise},    {9, 65, 1, 16, 12, false, Pattern::Smooth},
        {7, 127, 1, 16, 16, false, Pattern::Noise},   {10, 128, 1, 16, 16, true, Pattern::Noise},
        {12, 191, 1, 16, 16, false, Pattern::Jumps},  {16, 200, 1, 16, 12, true, Pattern::Jumps},
        {24, 261, 1, 16, 12, false, Pattern::Bursts}, {16, 130, 1, 16, 16, true, Pattern::Bursts},
        {64, 512, 1, 16, 12, false, Pattern::Smooth}, {20, 512, 1, 16, 12, false, Pattern::Noise},
        {9, 200, 1, 8, 8, false, Pattern::Noise},     {9, 300, 1, 8, 8, false, Pattern::Smooth},
        {11, 129, 1, 8, 8, false, Pattern::Jumps},    {5, 70, 1, 8, 2, false, Pattern::Noise},
        {6, 64, 1, 16, 16, false, Pattern::Zero},     {6, 96, 1, 16, 16, false, Pattern::Max},
        {8, 256, 1, 16, 16, false, Pattern::Ramp},    {3, 63, 1, 16, 12, false, Pattern::Noise},
    };
    // Samples alternating by 2^15: the difference of category 16, without extra bits.
    Case halfway{8, 160, 1, 16, 16, false, Pattern::Zero};
    std::vector<Uint8> halfwayPixels(size_t(halfway.rows) * halfway.columns * 2);
    for (size_t i = 0; i < halfwayPixels.size() / 2; ++i) {
        const Uint16 w = Uint16((i % 3 == 1) ? 0x8000 : (i % 7));
        std::memcpy(&halfwayPixels[2 * i], &w, 2);
    }
    auto check = [](const Case &c, const std::vector<Uint8> &pixels) {
        SCOPED_TRACE(c.name());
        std::vector<Uint16> wide(pixels.size() / 2);
        std::memcpy(wide.data(), pixels.data(), wide.size() * 2);
        auto encode = [&](LosslessJpeg::Coder coder) {
            LosslessJpeg::useCoder(coder);
            std::vector<uint8_t> out;
            const bool ok = c.allocated == 8 ? LosslessJpeg::encode(pixels.data(), c.rows, c.columns, c.stored, out)
                                             : LosslessJpeg::encode(wide.data(), c.rows, c.columns, c.stored, out);
            EXPECT_TRUE(ok);
            return out;
        };
        const std::vector<uint8_t> portable = encode(LosslessJpeg::Coder::Portable);
        const std::vector<uint8_t> vector = encode(LosslessJpeg::Coder::Fastest);
        ASSERT_FALSE(vector.empty());
        EXPECT_TRUE(portable == vector) << "portable " << portable.size() << " bytes, vector " << vector.size();
        // And the stream holds the image.
        const unsigned mask = (1u << c.stored) - 1u;
        if (c.allocated == 8) {
            std::vector<uint8_t> back(pixels.size());
            ASSERT_EQ(LosslessJpeg::decode(vector.data(), vector.size(), back.data(), back.size()), LosslessJpeg::Result::Ok);
            for (size_t i = 0; i < back.size(); ++i)
                ASSERT_EQ(back[i], pixels[i] & mask) << "sample " << i;
        } else {
            std::vector<uint16_t> back(wide.size());
            ASSERT_EQ(LosslessJpeg::decode(vector.data(), vector.size(), back.data(), back.size()), LosslessJpeg::Result::Ok);
            for (size_t i = 0; i < back.size(); ++i)
                ASSERT_EQ(back[i], wide[i] & mask) << "sample " << i;
        }
    };
    for (const Case &c : cases)
        check(c, makePixels(c));
    check(halfway, halfwayPixels);
}

TEST(LosslessJpeg, DamagedOrTruncatedStreamsAreErrorsAndStoredFilesReadBackExactly)
{
    initializeRuntime();
    const Case c{48, 53, 1, 16, 12, false, Pattern::Noise};
    const std::vector<Uint8> original = makePixels(c);
    std::vector<uint8_t> stream;
    ASSERT_TRUE(LosslessJpeg::encode(reinterpret_cast<const uint16_t *>(original.data()), c.rows, c.columns, 16, stream));
    std::vector<uint16_t> out(size_t(c.rows) * c.columns);
    ASSERT_EQ(LosslessJpeg::decode(stream.data(), stream.size(), out.data(), out.size()), LosslessJpeg::Result::Ok);
    EXPECT_EQ(0, std::memcmp(out.data(), original.data(), original.size()));
    // Too small a buffer, and every cut that loses coded bits, are errors.
    EXPECT_NE(LosslessJpeg::decode(stream.data(), stream.size(), out.data(), out.size() - 1), LosslessJpeg::Result::Ok);
    for (size_t cut = 0; cut + 3 <= stream.size(); cut += 7)
        EXPECT_NE(LosslessJpeg::decode(stream.data(), cut, out.data(), out.size()), LosslessJpeg::Result::Ok) << cut;
    // Damage anywhere: whatever the result, nothing outside the buffers is touched (the sanitizer build checks).
    std::mt19937 random(7);
    for (int i = 0; i < 300; ++i) {
        std::vector<uint8_t> damaged = stream;
        damaged[random() % damaged.size()] ^= uint8_t(1u << (random() % 8));
        if (i % 3 == 0)
            damaged[random() % std::min<size_t>(damaged.size(), 40)] = uint8_t(random());
        LosslessJpeg::decode(damaged.data(), damaged.size(), out.data(), out.size());
    }
    // A Huffman table with more codes than its lengths allow is refused before it is used.
    std::vector<uint8_t> oversubscribed = stream;
    const uint8_t tableMarker[] = {0xFF, 0xC4};
    const auto dht = std::search(oversubscribed.begin(), oversubscribed.end(), tableMarker, tableMarker + 2);
    ASSERT_NE(dht, oversubscribed.end());
    dht[5] = 3; // three codes of one bit
    EXPECT_EQ(LosslessJpeg::decode(oversubscribed.data(), oversubscribed.size(), out.data(), out.size()),
              LosslessJpeg::Result::Corrupt);
    // Other coding processes are left to DCMTK.
    std::vector<uint8_t> otherPredictor = stream;
    const uint8_t scanMarker[] = {0xFF, 0xDA};
    const auto sos = std::search(otherPredictor.begin(), otherPredictor.end(), scanMarker, scanMarker + 2);
    ASSERT_NE(sos, otherPredictor.end());
    sos[7] = 6; // selection value
    EXPECT_EQ(LosslessJpeg::decode(otherPredictor.data(), otherPredictor.size(), out.data(), out.size()),
              LosslessJpeg::Result::Unsupported);

    // Through DCMTK's own API, as the archive writes and the viewer reads: a
    // CT slice chosen into process 14 decodes back to the same cells.
    const Case ct{512, 512, 1, 16, 12, true, Pattern::Smooth};
    const std::vector<Uint8> slice = makePixels(ct);
    auto ds = makeDataset(ct, slice);
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(ds->chooseRepresentation(EXS_JPEGProcess14, nullptr).good());
    const double ourEncode = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    ASSERT_TRUE(ds->canWriteXfer(EXS_JPEGProcess14, EXS_LittleEndianExplicit));
    DcmPixelData *pixel = nullptr;
    ASSERT_TRUE(ds->findAndGetElement(DCM_PixelData, reinterpret_cast<DcmElement *&>(pixel)).good());
    DcmPixelSequence *sequence = nullptr;
    const DcmRepresentationParameter *rep = nullptr;
    ASSERT_TRUE(pixel->getEncapsulatedRepresentation(EXS_JPEGProcess14, rep, sequence).good());
    std::unique_ptr<DcmDataset> copy(makeDataset(ct, std::vector<Uint8>(slice.size(), 0)));
    copy->putAndInsertString(DCM_DerivationDescription, "x");
    const auto decodeStart = std::chrono::steady_clock::now();
    const Decoded ours = decodeWith(LosslessJpegCodec(EXS_JPEGProcess14), *copy, *sequence, slice.size());
    const double ourDecode = std::chrono::duration<double>(std::chrono::steady_clock::now() - decodeStart).count();
    EXPECT_EQ(ours.bytes, slice);
    Uint32 fragment = 0;
    std::vector<Uint8> frame(slice.size());
    OFString model;
    ASSERT_TRUE(pixel->getUncompressedFrame(ds.get(), 0, fragment, frame.data(), Uint32(frame.size()), model).good());
    EXPECT_EQ(frame, slice);

    // How the two coders compare on that slice (reported, not asserted: the machine is shared).
    auto theirs = makeDataset(ct, slice);
    const auto theirStart = std::chrono::steady_clock::now();
    const Encoded dcmtk = encodeWith(DJEncoderLossless(), *theirs);
    const double theirEncode = std::chrono::duration<double>(std::chrono::steady_clock::now() - theirStart).count();
    ASSERT_TRUE(dcmtk.condition.good());
    const auto theirDecodeStart = std::chrono::steady_clock::now();
    const Decoded dcmtkDecoded = decodeWith(DJDecoderLossless(), *copy, *dcmtk.sequence, slice.size());
    const double theirDecode = std::chrono::duration<double>(std::chrono::steady_clock::now() - theirDecodeStart).count();
    EXPECT_EQ(dcmtkDecoded.bytes, slice);
    RecordProperty("encode_ms_ours_dcmtk", std::to_string(ourEncode * 1000) + " " + std::to_string(theirEncode * 1000));
    RecordProperty("decode_ms_ours_dcmtk", std::to_string(ourDecode * 1000) + " " + std::to_string(theirDecode * 1000));
    std::printf("512x512 slice: encode %.2f ms (DCMTK %.2f ms), decode %.2f ms (DCMTK %.2f ms)\n", ourEncode * 1000,
                theirEncode * 1000, ourDecode * 1000, theirDecode * 1000);
}

namespace {

// Pixel data of a file as bytes: the fragments of an encapsulated one, the
// cells of an uncompressed one (decoded by whichever codec the list holds).
std::vector<Uint8> pixelBytes(const QString &path, E_TransferSyntax *syntax, bool decode)
{
    DcmFileFormat file;
    if (file.loadFile(QFile::encodeName(path).constData()).bad())
        return {};
    DcmDataset *ds = file.getDataset();
    *syntax = ds->getOriginalXfer();
    if (decode && ds->chooseRepresentation(EXS_LittleEndianExplicit, nullptr).bad())
        return {};
    DcmPixelData *pixel = nullptr;
    if (ds->findAndGetElement(DCM_PixelData, reinterpret_cast<DcmElement *&>(pixel)).bad())
        return {};
    if (!decode && !DcmXfer(*syntax).isNotEncapsulated()) {
        DcmPixelSequence *sequence = nullptr;
        const DcmRepresentationParameter *rep = nullptr;
        if (pixel->getEncapsulatedRepresentation(*syntax, rep, sequence).bad())
            return {};
        std::vector<Uint8> all;
        for (const auto &fragment : fragments(*sequence))
            all.insert(all.end(), fragment.begin(), fragment.end());
        return all;
    }
    Uint8 *bytes = nullptr;
    if (pixel->getUint8Array(bytes).bad() || !bytes)
        return {};
    return std::vector<Uint8>(bytes, bytes + pixel->getLength());
}

} // namespace

namespace {

std::vector<uint8_t>::iterator findMarker(std::vector<uint8_t> &stream, uint8_t code)
{
    const uint8_t marker[] = {0xFF, code};
    return std::search(stream.begin(), stream.end(), marker, marker + 2);
}

} // namespace

// Our streams code the rows in bands, each a restart interval, which our
// decoder reads side by side and every other decoder reads in turn.
TEST(LosslessJpeg, RestartIntervalsOfWholeRowsDecodeAndDamageToThemIsCaught)
{
    initializeRuntime();
    const Case c{67, 53, 1, 16, 16, false, Pattern::Noise}; // four bands side by side, then four alone, the last short
    const std::vector<Uint8> original = makePixels(c);
    const auto *samples = reinterpret_cast<const uint16_t *>(original.data());
    std::vector<uint8_t> stream;
    ASSERT_TRUE(LosslessJpeg::encode(samples, c.rows, c.columns, 16, stream));
    const auto dri = findMarker(stream, 0xDD);
    ASSERT_NE(dri, stream.end());
    EXPECT_EQ(unsigned(dri[4]) << 8 | dri[5], 9u * 53u) << "nine rows to an interval";
    for (int n = 0; n < 7; ++n)
        EXPECT_NE(findMarker(stream, uint8_t(0xD0 + n)), stream.end()) << n;
    EXPECT_EQ(findMarker(stream, 0xD7), stream.end()) << "eight bands, seven markers";
    std::vector<uint16_t> out(original.size() / 2);
    ASSERT_EQ(LosslessJpeg::decode(stream.data(), stream.size(), out.data(), out.size()), LosslessJpeg::Result::Ok);
    EXPECT_EQ(0, std::memcmp(out.data(), original.data(), original.size()));

    // A marker lost or out of order fails the frame, whichever band it ends.
    for (uint8_t n : {0xD0, 0xD3, 0xD6}) {
        std::vector<uint8_t> missing = stream;
        missing.erase(findMarker(missing, n), findMarker(missing, n) + 2);
        EXPECT_EQ(LosslessJpeg::decode(missing.data(), missing.size(), out.data(), out.size()),
                  LosslessJpeg::Result::Corrupt)
            << int(n);
        std::vector<uint8_t> swapped = stream;
        findMarker(swapped, n)[1] = uint8_t(n == 0xD6 ? 0xD0 : n + 1);
        EXPECT_EQ(LosslessJpeg::decode(swapped.data(), swapped.size(), out.data(), out.size()),
                  LosslessJpeg::Result::Corrupt)
            << int(n);
    }
    // A band cut short by the next marker: its last samples would be guesses.
    std::vector<uint8_t> shortBand = stream;
    const auto second = findMarker(shortBand, 0xD1);
    shortBand.erase(second - 24, second);
    EXPECT_EQ(LosslessJpeg::decode(shortBand.data(), shortBand.size(), out.data(), out.size()),
              LosslessJpeg::Result::Corrupt);
    // An interval of part of a row is left to DCMTK, which reads it.
    std::vector<uint8_t> partial = stream;
    const auto partialDri = findMarker(partial, 0xDD);
    partialDri[4] = 0;
    partialDri[5] = 100;
    EXPECT_EQ(LosslessJpeg::decode(partial.data(), partial.size(), out.data(), out.size()),
              LosslessJpeg::Result::Unsupported);

    // A stored file with these bands, decoded by GDCM without our code in the way.
    using namespace pacs::toolkit;
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    pacs::test::SampleSpec spec;
    spec.size = 203;
    const QString source = dir.filePath("source.dcm"), storedPath = dir.filePath("stored.dcm");
    const QString raw = dir.filePath("raw.dcm");
    ASSERT_FALSE(pacs::test::writeSample(source, spec).isEmpty());
    ToolkitImage image;
    ASSERT_TRUE(image.readFile(source) && image.writeImageFile(storedPath, true));
    ASSERT_EQ(pacs::test::runTool(QStringLiteral("gdcmconv"), {QStringLiteral("--raw"), storedPath, raw}).exitCode, 0);
    E_TransferSyntax storedSyntax, rawSyntax, sourceSyntax;
    auto storedStream = pixelBytes(storedPath, &storedSyntax, false);
    EXPECT_EQ(storedSyntax, EXS_JPEGProcess14);
    EXPECT_NE(findMarker(storedStream, 0xD0), storedStream.end());
    EXPECT_EQ(pixelBytes(raw, &rawSyntax, false), pixelBytes(source, &sourceSyntax, false));
}

TEST(LosslessJpeg, StoredFilesGoAsTheyAreToAPeerTakingProcess14AndDecodedExactlyToOneThatDoesNot)
{
    using namespace pacs::toolkit;
    using namespace pacs::toolkit::test;
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QStringList stored, originals;
    for (int i = 1; i <= 4; ++i) {
        pacs::test::SampleSpec spec;
        spec.instanceNumber = i;
        spec.size = 96 + i; // odd widths too
        const QString source = dir.filePath(QStringLiteral("src%1.dcm").arg(i));
        ASSERT_FALSE(pacs::test::writeSample(source, spec).isEmpty());
        ToolkitImage image;
        const QString archived = dir.filePath(QStringLiteral("stored%1.dcm").arg(i));
        QString error;
        ASSERT_TRUE(image.readFile(source, &error)) << error.toStdString();
        ASSERT_TRUE(image.writeImageFile(archived, true, &error)) << error.toStdString();
        originals << source;
        stored << archived;
    }
    // A storescp that takes process 14 as well as the uncompressed syntaxes.
    QFile profile(dir.filePath("lossless.cfg"));
    ASSERT_TRUE(profile.open(QIODevice::WriteOnly));
    profile.write("[[TransferSyntaxes]]\n[Uncompressed]\nTransferSyntax1 = LocalEndianExplicit\n"
                  "[Lossless]\nTransferSyntax1 = 1.2.840.10008.1.2.4.57\nTransferSyntax2 = LocalEndianExplicit\n"
                  "[[PresentationContexts]]\n[Contexts]\nPresentationContext1 = VerificationSOPClass\\Uncompressed\n"
                  "PresentationContext2 = CTImageStorage\\Lossless\n[[Profiles]]\n[Lossless]\n"
                  "PresentationContexts = Contexts\n");
    profile.close();
    StoreScpProcess lossless(dir.filePath("lossless"), QStringLiteral("DEST"), {"-xf", profile.fileName(), "Lossless"});
    StoreScpProcess plain(dir.filePath("plain"));
    ASSERT_TRUE(lossless.isReady() && plain.isReady());

    for (StoreScpProcess *peer : {&lossless, &plain}) {
        Recorder events;
        ToolkitListener source(&events);
        auto connection = source.newConnection();
        connection->connectTo("127.0.0.1", peer->port(), QStringLiteral("ARCHIVE"), QStringLiteral("DEST"));
        ASSERT_TRUE(pacs::test::waitUntil([&] { return events.outgoingCompletions.size() == 1; }, 30000));
        connection->sendFilesAsync(stored);
        ASSERT_TRUE(pacs::test::waitUntil([&] { return events.outgoingCompletions.size() == 2; }, 60000));
        ASSERT_TRUE(events.outgoingCompletions[1].success) << events.outgoingCompletions[1].error.toStdString();
        ASSERT_EQ(peer->receivedFiles().size(), stored.size());
        // Connected before the files were known (as a C-MOVE does), the
        // association had offered their stored syntax already: no second one.
        EXPECT_EQ(peer->output().count(QStringLiteral("Association Received")), 1) << peer->output().toStdString();
    }
    for (int i = 0; i < stored.size(); ++i) {
        const QString uid = pacs::test::fileElement(stored[i], 0x0008, 0x0018);
        QString asSent, asDecoded;
        for (const QString &f : lossless.receivedFiles())
            if (pacs::test::fileElement(f, 0x0008, 0x0018) == uid)
                asSent = f;
        for (const QString &f : plain.receivedFiles())
            if (pacs::test::fileElement(f, 0x0008, 0x0018) == uid)
                asDecoded = f;
        E_TransferSyntax storedSyntax, sentSyntax, decodedSyntax, originalSyntax;
        const auto storedStream = pixelBytes(stored[i], &storedSyntax, false);
        EXPECT_EQ(storedSyntax, EXS_JPEGProcess14);
        EXPECT_EQ(pixelBytes(asSent, &sentSyntax, false), storedStream) << "sent as stored, undecoded";
        EXPECT_EQ(sentSyntax, EXS_JPEGProcess14);
        EXPECT_EQ(pixelBytes(asDecoded, &decodedSyntax, false), pixelBytes(originals[i], &originalSyntax, false));
        EXPECT_TRUE(DcmXfer(decodedSyntax).isNotEncapsulated());
    }
}

// DCMTK's JPEG decoders loop for ever on a TEM marker (0xFF01) before the
// frame header; such a stream (baseline or lossless) is refused at once.
TEST(LosslessJpeg, AStreamThatWouldMakeDcmtkLoopIsRefused)
{
    pacs::toolkit::detail::initializeRuntime();
    const Uint8 looping[] = {0xFF, 0xD8, 0xFF, 0x01, 0xFF, 0xC3, 0x00, 0x0B, 0x08, 0x00, 0x08,
                             0x00, 0x08, 0x01, 0x01, 0x11, 0x00, 0xFF, 0xD9, 0x00};
    EXPECT_FALSE(pacs::toolkit::detail::dcmtkMarkerWalkEnds(looping, sizeof(looping)));
    const Uint8 ordinary[] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x04, 0x00, 0x00, 0xFF, 0xC3, 0x00, 0x0B};
    EXPECT_TRUE(pacs::toolkit::detail::dcmtkMarkerWalkEnds(ordinary, sizeof(ordinary)));

    for (E_TransferSyntax xfer : {EXS_JPEGProcess1, EXS_JPEGProcess2_4, EXS_JPEGProcess14, EXS_JPEGProcess14SV1}) {
        const Case tiny{8, 8, 1, 8, 8, false, Pattern::Smooth};
        auto ds = makeDataset(tiny, makePixels(tiny));
        DcmPixelData *pixel = nullptr;
        ASSERT_TRUE(ds->findAndGetElement(DCM_PixelData, reinterpret_cast<DcmElement *&>(pixel)).good());
        auto *sequence = new DcmPixelSequence(DCM_PixelSequenceTag);
        sequence->insert(new DcmPixelItem(DCM_PixelItemTag)); // the empty offset table
        auto *fragment = new DcmPixelItem(DCM_PixelItemTag);
        ASSERT_TRUE(fragment->putUint8Array(looping, sizeof(looping)).good());
        sequence->insert(fragment);
        pixel->putOriginalRepresentation(xfer, nullptr, sequence);

        OFString model;
        EXPECT_TRUE(pixel->getDecompressedColorModel(ds.get(), model).bad()) << DcmXfer(xfer).getXferName();
        EXPECT_TRUE(ds->chooseRepresentation(EXS_LittleEndianExplicit, nullptr).bad()) << DcmXfer(xfer).getXferName();
    }
}

#include "dicom/toolkit/detail/LosslessJpegCodec.h"

#include "dicom/toolkit/detail/GuardedJpegDecoder.h"
#include "dicom/toolkit/detail/LosslessJpeg.h"
#include "dicom/toolkit/detail/ImageWriter.h"
#include "dicom/toolkit/detail/Runtime.h"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcerror.h>
#include <dcmtk/dcmdata/dcitem.h>
#include <dcmtk/dcmdata/dcpixseq.h>
#include <dcmtk/dcmdata/dcpxitem.h>
#include <dcmtk/dcmdata/dcstack.h>
#include <dcmtk/dcmdata/dcswap.h>
#include <dcmtk/dcmdata/dcvrpobw.h>
#include <dcmtk/dcmjpeg/djcparam.h>
#include <dcmtk/dcmjpeg/djdeclol.h>
#include <dcmtk/dcmjpeg/djdecsv1.h>
#include <dcmtk/dcmjpeg/djenclol.h>
#include <dcmtk/dcmjpeg/djencsv1.h>
#include <dcmtk/dcmjpeg/djrplol.h>
#include <dcmtk/ofstd/ofstd.h>

#include <cstring>
#include <mutex>
#include <vector>

namespace pacs::toolkit::detail {

namespace {

struct Layout
{
    Uint16 rows = 0, columns = 0, samples = 0, bitsAllocated = 0, bitsStored = 0;
    Sint32 frames = 1;
    OFString photometric;

    size_t pixels() const { return size_t(rows) * columns; }
    size_t frameBytes() const { return pixels() * (bitsAllocated / 8); }
    bool monochrome() const { return photometric == "MONOCHROME2" || photometric == "MONOCHROME1"; }
};

// The attributes our coder needs; false where the image is DCMTK's to code.
bool readLayout(DcmItem &item, Layout &layout)
{
    if (item.findAndGetUint16(DCM_Rows, layout.rows).bad() || item.findAndGetUint16(DCM_Columns, layout.columns).bad()
        || item.findAndGetUint16(DCM_SamplesPerPixel, layout.samples).bad()
        || item.findAndGetUint16(DCM_BitsAllocated, layout.bitsAllocated).bad()
        || item.findAndGetUint16(DCM_BitsStored, layout.bitsStored).bad()
        || item.findAndGetOFString(DCM_PhotometricInterpretation, layout.photometric).bad())
        return false;
    Sint32 frames = 1;
    if (item.findAndGetSint32(DCM_NumberOfFrames, frames).good() && frames > 0)
        layout.frames = frames;
    return layout.samples == 1 && (layout.bitsAllocated == 8 || layout.bitsAllocated == 16) && layout.bitsStored >= 1
           && layout.bitsStored <= layout.bitsAllocated && layout.rows > 0
           && layout.columns > 0 && layout.frameBytes() * size_t(layout.frames) < size_t(0xFFFFFFF0u);
}

// The coded bytes of each frame: one fragment per frame (read in place), or
// one frame in all of them (joined in `joined`).
struct FrameBytes
{
    const Uint8 *data = nullptr;
    size_t size = 0;
};

bool fragmentBytes(DcmPixelSequence &sequence, unsigned long index, FrameBytes &out)
{
    DcmPixelItem *fragment = nullptr;
    Uint8 *bytes = nullptr;
    if (sequence.getItem(fragment, index).bad() || !fragment)
        return false;
    out.size = fragment->getLength();
    if (out.size == 0)
        return true;
    if (fragment->getUint8Array(bytes).bad() || !bytes)
        return false;
    out.data = bytes;
    return true;
}

bool frameBytes(DcmPixelSequence &sequence, Sint32 frames, Sint32 frame, std::vector<Uint8> &joined, FrameBytes &out)
{
    const unsigned long items = sequence.card();
    if (items < 2 || frame >= frames)
        return false;
    if (items - 1 == static_cast<unsigned long>(frames))
        return fragmentBytes(sequence, static_cast<unsigned long>(frame) + 1, out);
    if (frames != 1)
        return false;
    joined.clear();
    for (unsigned long i = 1; i < items; ++i) {
        FrameBytes part;
        if (!fragmentBytes(sequence, i, part))
            return false;
        if (part.size)
            joined.insert(joined.end(), part.data, part.data + part.size);
    }
    out = {joined.data(), joined.size()};
    return true;
}

// One frame into `out` (frameBytes() of it), in local byte order as DCMTK
// keeps uncompressed pixels. False for anything the fast path leaves alone.
bool decodeInto(const Layout &layout, const FrameBytes &stream, Uint8 *out)
{
    LosslessJpegHeader header;
    LosslessJpeg::Result result;
    if (layout.bitsAllocated == 8)
        result = LosslessJpeg::decode(stream.data, stream.size, out, layout.pixels(), &header);
    else
        result = LosslessJpeg::decode(stream.data, stream.size, reinterpret_cast<Uint16 *>(out), layout.pixels(),
                                      &header);
    if (result != LosslessJpeg::Result::Ok || header.rows != layout.rows || header.columns != layout.columns
        || header.precision > layout.bitsAllocated)
        return false;
    return true;
}

bool decodeAll(DcmPixelSequence *pixSeq, DcmItem *item, DcmPolymorphOBOW &uncompressedPixelData)
{
    Layout layout;
    if (!pixSeq || !item || !readLayout(*item, layout) || !layout.monochrome())
        return false;
    const size_t total = layout.frameBytes() * size_t(layout.frames);
    const size_t even = total + (total & 1);
    Uint16 *words = nullptr;
    if (uncompressedPixelData.createUint16Array(Uint32(even / 2), words).bad() || !words)
        return false;
    auto *bytes = reinterpret_cast<Uint8 *>(words);
    bytes[even - 1] = 0;
    std::vector<Uint8> joined;
    for (Sint32 f = 0; f < layout.frames; ++f) {
        FrameBytes stream;
        if (!frameBytes(*pixSeq, layout.frames, f, joined, stream)
            || !decodeInto(layout, stream, bytes + size_t(f) * layout.frameBytes()))
            return false; // DCMTK's decoder makes the element anew
    }
    // 8-bit samples were written as bytes; the element holds words.
    if (layout.bitsAllocated == 8)
        swapIfNecessary(gLocalByteOrder, EBO_LittleEndian, words, Uint32(even), sizeof(Uint16));
    return true;
}

bool fastEncodable(const DcmRepresentationParameter *toRepParam)
{
    if (!toRepParam)
        return true; // the defaults: predictor 1, no point transform
    if (std::strcmp(toRepParam->className(), "DJ_RPLossless") != 0)
        return false;
    const auto *rep = static_cast<const DJ_RPLossless *>(toRepParam);
    return rep->getPrediction() == 1 && rep->getPointTransformation() == 0;
}

// DCMTK's encoder says in Derivation Description how the pixels were coded,
// keeping an earlier description in brackets; so do we.
void describeDerivation(DcmItem &item, double ratio)
{
    char number[32];
    OFStandard::ftoa(number, sizeof(number), ratio, OFStandard::ftoa_uppercase, 0, 5);
    OFString text = "Lossless JPEG compression, selection value 1, point transform 0, compression ratio ";
    text += number;
    const char *old = nullptr;
    if (item.findAndGetString(DCM_DerivationDescription, old).good() && old) {
        text += " [";
        text += old;
        text += "]";
        if (text.length() > 1024) {
            text.erase(1020);
            text += "...]";
        }
    }
    item.putAndInsertString(DCM_DerivationDescription, text.c_str());
}

bool encodeAll(const Uint16 *pixelData, Uint32 length, DcmItem *item, DcmPixelSequence *&pixSeq)
{
    Layout layout;
    if (!pixelData || !item || !readLayout(*item, layout) || !layout.monochrome()
        || size_t(length) < layout.frameBytes() * size_t(layout.frames))
        return false;
    auto sequence = std::make_unique<DcmPixelSequence>(DcmTag(DCM_PixelData, EVR_OB));
    auto *offsetTable = new DcmPixelItem(DcmTag(DCM_Item, EVR_OB));
    sequence->insert(offsetTable);
    DcmOffsetList offsets;
    const auto *bytes = reinterpret_cast<const Uint8 *>(pixelData);
    // One per coding thread, kept from image to image up to a usual frame's size.
    thread_local std::vector<uint8_t> stream;
    struct Trim
    {
        ~Trim()
        {
            if (stream.size() > 8 * 1024 * 1024)
                std::vector<uint8_t>().swap(stream);
        }
    } trimmed;
    size_t compressed = 0;
    for (Sint32 f = 0; f < layout.frames; ++f) {
        const Uint8 *frame = bytes + size_t(f) * layout.frameBytes();
        size_t length = 0;
        const bool ok = layout.bitsAllocated == 8
                            ? LosslessJpeg::encode(frame, layout.rows, layout.columns, 8, stream, length)
                            : LosslessJpeg::encode(reinterpret_cast<const Uint16 *>(frame), layout.rows,
                                                   layout.columns, 16, stream, length);
        if (!ok || sequence->storeCompressedFrame(offsets, stream.data(), Uint32(length), 0).bad())
            return false;
        compressed += length;
    }
    if (offsetTable->createOffsetTable(offsets).bad())
        return false;
    describeDerivation(*item, compressed ? double(layout.frameBytes() * size_t(layout.frames)) / double(compressed) : 1.0);
    pixSeq = sequence.release();
    return true;
}

} // namespace

LosslessJpegCodec::LosslessJpegCodec(E_TransferSyntax syntax) : m_syntax(syntax)
{
    if (syntax == EXS_JPEGProcess14SV1) {
        m_dcmtkDecoder = std::make_unique<DJDecoderP14SV1>();
        m_dcmtkEncoder = std::make_unique<DJEncoderP14SV1>();
    } else {
        m_dcmtkDecoder = std::make_unique<DJDecoderLossless>();
        m_dcmtkEncoder = std::make_unique<DJEncoderLossless>();
    }
    // The settings DCMTK's registrations use by default.
    m_decoderParameter = std::make_unique<DJCodecParameter>(ECC_lossyYCbCr, EDC_photometricInterpretation,
                                                            EUC_default, EPC_default);
    m_encoderParameter = std::make_unique<DJCodecParameter>(
        ECC_lossyYCbCr, EDC_photometricInterpretation, EUC_default, EPC_default, OFFalse, OFFalse, OFFalse, OFFalse, 0,
        0, 0, OFTrue, ESS_422, OFTrue, OFFalse, 0, 0, 0.0, 0.0, 0, 0, 0, 0, OFTrue, OFFalse, OFFalse, OFFalse, OFTrue);
}

LosslessJpegCodec::~LosslessJpegCodec() = default;

OFCondition LosslessJpegCodec::decode(const DcmRepresentationParameter *fromRepParam, DcmPixelSequence *pixSeq,
                                      DcmPolymorphOBOW &uncompressedPixelData, const DcmCodecParameter *,
                                      const DcmStack &objStack, OFBool &removeOldRep) const
{
    try {
        if (decodeAll(pixSeq, pixelParent(objStack), uncompressedPixelData))
            return EC_Normal;
    } catch (...) {
        logUnreported(QStringLiteral("lossless JPEG decode: ") + currentExceptionText());
    }
    OFCondition unsafe;
    if (!jpegFragmentsAreSafe(pixSeq, unsafe))
        return unsafe;
    return m_dcmtkDecoder->decode(fromRepParam, pixSeq, uncompressedPixelData, m_decoderParameter.get(), objStack,
                                  removeOldRep);
}

OFCondition LosslessJpegCodec::decodeFrame(const DcmRepresentationParameter *fromParam, DcmPixelSequence *fromPixSeq,
                                           const DcmCodecParameter *, DcmItem *dataset, Uint32 frameNo,
                                           Uint32 &startFragment, void *buffer, Uint32 bufSize,
                                           OFString &decompressedColorModel) const
{
    try {
        Layout layout;
        std::vector<Uint8> joined;
        FrameBytes stream;
        if (fromPixSeq && dataset && buffer && readLayout(*dataset, layout) && layout.monochrome()
            && bufSize >= layout.frameBytes() && frameBytes(*fromPixSeq, layout.frames, Sint32(frameNo), joined, stream)
            && decodeInto(layout, stream, static_cast<Uint8 *>(buffer))) {
            startFragment = layout.frames == 1 ? Uint32(fromPixSeq->card()) : frameNo + 2;
            decompressedColorModel = layout.photometric;
            return EC_Normal;
        }
    } catch (...) {
        logUnreported(QStringLiteral("lossless JPEG frame decode: ") + currentExceptionText());
    }
    OFCondition unsafe;
    if (!jpegFragmentsAreSafe(fromPixSeq, unsafe))
        return unsafe;
    return m_dcmtkDecoder->decodeFrame(fromParam, fromPixSeq, m_decoderParameter.get(), dataset, frameNo,
                                       startFragment, buffer, bufSize, decompressedColorModel);
}

OFCondition LosslessJpegCodec::encode(const Uint16 *pixelData, const Uint32 length,
                                      const DcmRepresentationParameter *toRepParam, DcmPixelSequence *&pixSeq,
                                      const DcmCodecParameter *, DcmStack &objStack, OFBool &removeOldRep) const
{
    try {
        if (fastEncodable(toRepParam) && encodeAll(pixelData, length, pixelParent(objStack), pixSeq)) {
            removeOldRep = OFFalse; // the uncompressed pixels stay: a peer may still want them
            return EC_Normal;
        }
    } catch (...) {
        logUnreported(QStringLiteral("lossless JPEG encode: ") + currentExceptionText());
    }
    pixSeq = nullptr;
    return m_dcmtkEncoder->encode(pixelData, length, toRepParam, pixSeq, m_encoderParameter.get(), objStack,
                                  removeOldRep);
}

OFCondition LosslessJpegCodec::encode(const E_TransferSyntax fromRepType, const DcmRepresentationParameter *fromRepParam,
                                      DcmPixelSequence *fromPixSeq, const DcmRepresentationParameter *toRepParam,
                                      DcmPixelSequence *&toPixSeq, const DcmCodecParameter *, DcmStack &objStack,
                                      OFBool &removeOldRep) const
{
    return m_dcmtkEncoder->encode(fromRepType, fromRepParam, fromPixSeq, toRepParam, toPixSeq,
                                  m_encoderParameter.get(), objStack, removeOldRep);
}

OFBool LosslessJpegCodec::canChangeCoding(const E_TransferSyntax oldRepType, const E_TransferSyntax newRepType) const
{
    return (newRepType == m_syntax && DcmXfer(oldRepType).isNotEncapsulated())
           || (oldRepType == m_syntax && DcmXfer(newRepType).isNotEncapsulated());
}

OFCondition LosslessJpegCodec::determineDecompressedColorModel(const DcmRepresentationParameter *fromParam,
                                                               DcmPixelSequence *fromPixSeq, const DcmCodecParameter *,
                                                               DcmItem *dataset, OFString &decompressedColorModel) const
{
    OFCondition unsafe;
    if (!jpegFragmentsAreSafe(fromPixSeq, unsafe))
        return unsafe;
    return m_dcmtkDecoder->determineDecompressedColorModel(fromParam, fromPixSeq, m_decoderParameter.get(), dataset,
                                                           decompressedColorModel);
}

bool losslessJpegCodes16(DcmItem &item, Uint32 length)
{
    Layout layout;
    return readLayout(item, layout) && layout.monochrome() && layout.bitsAllocated == 16
           && size_t(length) >= layout.frameBytes() * size_t(layout.frames);
}

bool encodeLosslessJpeg16(const Uint16 *pixels, Uint32 length, DcmItem &item, DcmPixelSequence *&pixSeq)
{
    try {
        return losslessJpegCodes16(item, length) && encodeAll(pixels, length, &item, pixSeq);
    } catch (...) {
        logUnreported(QStringLiteral("lossless JPEG encode: ") + currentExceptionText());
        return false;
    }
}

void registerLosslessJpegCodecs()
{
    static std::once_flag once;
    std::call_once(once, [] {
        // Registered for the life of the process, as DCMTK's own codecs are.
        static LosslessJpegCodec process14(EXS_JPEGProcess14), firstOrder(EXS_JPEGProcess14SV1);
        static DJ_RPLossless defaults;
        static DJCodecParameter parameter(ECC_lossyYCbCr, EDC_photometricInterpretation, EUC_default, EPC_default);
        DcmCodecList::registerCodec(&process14, &defaults, &parameter);
        DcmCodecList::registerCodec(&firstOrder, &defaults, &parameter);
    });
}

} // namespace pacs::toolkit::detail

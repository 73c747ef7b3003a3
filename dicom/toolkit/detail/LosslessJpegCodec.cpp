#include "dicom/toolkit/detail/LosslessJpegCodec.h"

#include "dicom/toolkit/detail/LosslessJpeg.h"
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

#include <cstring>
#include <mutex>
#include <vector>

namespace pacs::toolkit::detail {

namespace {

struct Layout
{
    Uint16 rows = 0, columns = 0, samples = 0, bitsAllocated = 0, bitsStored = 0, highBit = 0, pixelRepresentation = 0;
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
        || item.findAndGetUint16(DCM_HighBit, layout.highBit).bad()
        || item.findAndGetOFString(DCM_PhotometricInterpretation, layout.photometric).bad())
        return false;
    item.findAndGetUint16(DCM_PixelRepresentation, layout.pixelRepresentation);
    Sint32 frames = 1;
    if (item.findAndGetSint32(DCM_NumberOfFrames, frames).good() && frames > 0)
        layout.frames = frames;
    return layout.samples == 1 && (layout.bitsAllocated == 8 || layout.bitsAllocated == 16) && layout.bitsStored >= 2
           && layout.bitsStored <= layout.bitsAllocated && layout.highBit + 1 == layout.bitsStored && layout.rows > 0
           && layout.columns > 0 && layout.frameBytes() * size_t(layout.frames) < size_t(0xFFFFFFF0u);
}

DcmItem *pixelParent(const DcmStack &objStack)
{
    DcmStack stack(objStack);
    stack.pop(); // the pixel data element
    DcmObject *parent = stack.top();
    if (!parent || (parent->ident() != EVR_dataset && parent->ident() != EVR_item))
        return nullptr;
    return static_cast<DcmItem *>(parent);
}

// The bytes of each frame: one fragment per frame, or one frame in all of them.
bool frameStreams(DcmPixelSequence &sequence, Sint32 frames, std::vector<std::vector<Uint8>> &streams)
{
    const unsigned long items = sequence.card();
    if (items < 2 || (frames != 1 && items - 1 != static_cast<unsigned long>(frames)))
        return false;
    streams.assign(size_t(frames), {});
    for (unsigned long i = 1; i < items; ++i) {
        DcmPixelItem *fragment = nullptr;
        Uint8 *bytes = nullptr;
        if (sequence.getItem(fragment, i).bad() || !fragment)
            return false;
        const Uint32 length = fragment->getLength();
        if (length == 0)
            continue;
        if (fragment->getUint8Array(bytes).bad() || !bytes)
            return false;
        auto &stream = streams[frames == 1 ? 0 : size_t(i - 1)];
        stream.insert(stream.end(), bytes, bytes + length);
    }
    return true;
}

// One frame into `out` (frameBytes() of it), in local byte order as DCMTK
// keeps uncompressed pixels. False for anything the fast path leaves alone.
bool decodeInto(const Layout &layout, const std::vector<Uint8> &stream, Uint8 *out)
{
    LosslessJpegHeader header;
    LosslessJpeg::Result result;
    if (layout.bitsAllocated == 8)
        result = LosslessJpeg::decode(stream.data(), stream.size(), out, layout.pixels(), &header);
    else
        result = LosslessJpeg::decode(stream.data(), stream.size(), reinterpret_cast<Uint16 *>(out), layout.pixels(),
                                      &header);
    if (result != LosslessJpeg::Result::Ok || header.rows != layout.rows || header.columns != layout.columns
        || header.precision > layout.bitsAllocated)
        return false;
    // Signed samples of fewer bits than allocated come back sign-extended.
    if (layout.pixelRepresentation != 0 && header.precision < layout.bitsAllocated && layout.bitsAllocated == 16) {
        auto *words = reinterpret_cast<Uint16 *>(out);
        const Uint16 sign = Uint16(1u << (header.precision - 1));
        const Uint16 high = Uint16(~((1u << header.precision) - 1u));
        for (size_t i = 0; i < layout.pixels(); ++i)
            if (words[i] & sign)
                words[i] |= high;
    }
    return true;
}

bool decodeAll(DcmPixelSequence *pixSeq, DcmItem *item, DcmPolymorphOBOW &uncompressedPixelData)
{
    Layout layout;
    if (!pixSeq || !item || !readLayout(*item, layout) || !layout.monochrome())
        return false;
    std::vector<std::vector<Uint8>> streams;
    if (!frameStreams(*pixSeq, layout.frames, streams))
        return false;
    const size_t total = layout.frameBytes() * size_t(layout.frames);
    const size_t even = total + (total & 1);
    std::vector<Uint8> pixels(even, 0);
    for (Sint32 f = 0; f < layout.frames; ++f)
        if (!decodeInto(layout, streams[size_t(f)], pixels.data() + size_t(f) * layout.frameBytes()))
            return false;
    Uint16 *words = nullptr;
    if (uncompressedPixelData.createUint16Array(Uint32(even / 2), words).bad() || !words)
        return false;
    std::memcpy(words, pixels.data(), even);
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
    std::vector<uint8_t> stream;
    for (Sint32 f = 0; f < layout.frames; ++f) {
        const Uint8 *frame = bytes + size_t(f) * layout.frameBytes();
        const bool ok = layout.bitsAllocated == 8
                            ? LosslessJpeg::encode(frame, layout.rows, layout.columns, layout.bitsStored, stream)
                            : LosslessJpeg::encode(reinterpret_cast<const Uint16 *>(frame), layout.rows,
                                                   layout.columns, layout.bitsStored, stream);
        if (!ok || sequence->storeCompressedFrame(offsets, stream.data(), Uint32(stream.size()), 0).bad())
            return false;
    }
    if (offsetTable->createOffsetTable(offsets).bad())
        return false;
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
        std::vector<std::vector<Uint8>> streams;
        if (fromPixSeq && dataset && buffer && readLayout(*dataset, layout) && layout.monochrome()
            && Sint32(frameNo) < layout.frames && bufSize >= layout.frameBytes()
            && (layout.frames == 1 || fromPixSeq->card() == static_cast<unsigned long>(layout.frames) + 1)) {
            // Only this frame's fragment is read.
            std::vector<Uint8> stream;
            bool ok = true;
            const unsigned long first = layout.frames == 1 ? 1ul : frameNo + 1ul;
            const unsigned long last = layout.frames == 1 ? fromPixSeq->card() : frameNo + 2ul;
            for (unsigned long i = first; ok && i < last; ++i) {
                DcmPixelItem *fragment = nullptr;
                Uint8 *bytes = nullptr;
                ok = fromPixSeq->getItem(fragment, i).good() && fragment;
                if (ok && fragment->getLength() > 0) {
                    ok = fragment->getUint8Array(bytes).good() && bytes;
                    if (ok)
                        stream.insert(stream.end(), bytes, bytes + fragment->getLength());
                }
            }
            if (ok && decodeInto(layout, stream, static_cast<Uint8 *>(buffer))) {
                startFragment = Uint32(last);
                decompressedColorModel = layout.photometric;
                return EC_Normal;
            }
        }
    } catch (...) {
        logUnreported(QStringLiteral("lossless JPEG frame decode: ") + currentExceptionText());
    }
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
    return m_dcmtkDecoder->determineDecompressedColorModel(fromParam, fromPixSeq, m_decoderParameter.get(), dataset,
                                                           decompressedColorModel);
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

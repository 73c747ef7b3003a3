#include "J2kCodec.h"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcerror.h>
#include <dcmtk/dcmdata/dcitem.h>
#include <dcmtk/dcmdata/dcpixseq.h>
#include <dcmtk/dcmdata/dcpxitem.h>
#include <dcmtk/dcmdata/dcstack.h>
#include <dcmtk/dcmdata/dcvrobow.h>

#include <openjpeg.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace pacs::toolkit::detail {

double j2kTargetPsnr(int quality)
{
    if (quality <= 1)
        return 0.0;
    return 80.0 - std::min(quality, 100) / 2.0;
}

OFBool J2kRepresentation::operator==(const DcmRepresentationParameter &other) const
{
    if (std::strcmp(className(), other.className()) != 0)
        return OFFalse;
    const auto &o = static_cast<const J2kRepresentation &>(other);
    // All reversible qualities give the same code stream.
    return reversible() == o.reversible() && (reversible() || m_quality == o.m_quality);
}

namespace {

struct ImageLayout
{
    Uint16 rows = 0, columns = 0, samples = 0, bitsAllocated = 0, bitsStored = 0, highBit = 0;
    Uint16 pixelRepresentation = 0, planar = 0;
    Sint32 frames = 1;
    OFString photometric;

    size_t pixelsPerFrame() const { return size_t(rows) * columns; }
    size_t frameBytes() const { return pixelsPerFrame() * samples * (bitsAllocated / 8); }
};

OFCondition unsupported(const char *why)
{
    return makeOFCondition(OFM_dcmdata, 900, OF_error, why);
}

OFCondition readLayout(DcmItem &item, ImageLayout &layout)
{
    if (item.findAndGetUint16(DCM_Rows, layout.rows).bad() || item.findAndGetUint16(DCM_Columns, layout.columns).bad()
        || item.findAndGetUint16(DCM_SamplesPerPixel, layout.samples).bad()
        || item.findAndGetUint16(DCM_BitsAllocated, layout.bitsAllocated).bad()
        || item.findAndGetUint16(DCM_BitsStored, layout.bitsStored).bad()
        || item.findAndGetUint16(DCM_HighBit, layout.highBit).bad()
        || item.findAndGetUint16(DCM_PixelRepresentation, layout.pixelRepresentation).bad()
        || item.findAndGetOFString(DCM_PhotometricInterpretation, layout.photometric).bad())
        return unsupported("JPEG 2000: image pixel description incomplete");
    item.findAndGetUint16(DCM_PlanarConfiguration, layout.planar);
    Sint32 frames = 1;
    if (item.findAndGetSint32(DCM_NumberOfFrames, frames).good() && frames > 0)
        layout.frames = frames;

    const bool mono = layout.samples == 1
                      && (layout.photometric == "MONOCHROME2" || layout.photometric == "MONOCHROME1");
    const bool rgb = layout.samples == 3 && layout.photometric == "RGB" && layout.bitsAllocated == 8;
    if (!mono && !rgb)
        return unsupported("JPEG 2000: only monochrome and 8-bit RGB images are encoded");
    if (layout.bitsAllocated != 8 && layout.bitsAllocated != 16)
        return unsupported("JPEG 2000: only 8 or 16 bits allocated are encoded");
    if (layout.bitsStored == 0 || layout.bitsStored > layout.bitsAllocated || layout.highBit + 1 != layout.bitsStored)
        return unsupported("JPEG 2000: bits stored / high bit layout not encoded");
    if (layout.rows == 0 || layout.columns == 0)
        return unsupported("JPEG 2000: empty image");
    if (rgb && layout.pixelRepresentation != 0)
        return unsupported("JPEG 2000: signed colour samples not encoded");
    return EC_Normal;
}

// OpenJPEG writes the code stream through callbacks; collect it in memory.
struct Sink
{
    std::vector<Uint8> bytes;
    size_t position = 0;
};

OPJ_SIZE_T sinkWrite(void *buffer, OPJ_SIZE_T count, void *data)
{
    auto *sink = static_cast<Sink *>(data);
    try {
        if (sink->position + count > sink->bytes.size())
            sink->bytes.resize(sink->position + count);
        std::memcpy(sink->bytes.data() + sink->position, buffer, count);
        sink->position += count;
        return count;
    } catch (...) {
        return OPJ_SIZE_T(-1);
    }
}

OPJ_OFF_T sinkSkip(OPJ_OFF_T count, void *data)
{
    auto *sink = static_cast<Sink *>(data);
    if (count < 0 && OPJ_OFF_T(sink->position) + count < 0)
        return -1;
    sink->position = size_t(OPJ_OFF_T(sink->position) + count);
    return count;
}

OPJ_BOOL sinkSeek(OPJ_OFF_T offset, void *data)
{
    if (offset < 0)
        return OPJ_FALSE;
    static_cast<Sink *>(data)->position = size_t(offset);
    return OPJ_TRUE;
}

void keepMessage(const char *message, void *data)
{
    if (data && message)
        *static_cast<std::string *>(data) = message;
}

void ignoreMessage(const char *, void *) {}

// The codec has no settings of its own; DCMTK wants an object anyway.
class J2kCodecParameter : public DcmCodecParameter
{
public:
    DcmCodecParameter *clone() const override { return new J2kCodecParameter(*this); }
    const char *className() const override { return "pacs::J2kCodecParameter"; }
};

// One frame as OpenJPEG components; `frame` points at its first byte.
opj_image_t *makeImage(const ImageLayout &layout, const Uint8 *frame)
{
    const size_t count = layout.pixelsPerFrame();
    const bool sgnd = layout.pixelRepresentation != 0;
    std::vector<opj_image_cmptparm_t> params(layout.samples);
    for (opj_image_cmptparm_t &p : params) {
        std::memset(&p, 0, sizeof(p));
        p.dx = p.dy = 1;
        p.w = layout.columns;
        p.h = layout.rows;
        p.prec = layout.bitsStored;
        p.sgnd = sgnd ? 1 : 0;
    }
    opj_image_t *image = opj_image_create(layout.samples, params.data(),
                                          layout.samples == 3 ? OPJ_CLRSPC_SRGB : OPJ_CLRSPC_GRAY);
    if (!image)
        return nullptr;
    image->x0 = image->y0 = 0;
    image->x1 = layout.columns;
    image->y1 = layout.rows;

    const Uint32 mask = layout.bitsStored >= 32 ? 0xFFFFFFFFu : ((1u << layout.bitsStored) - 1u);
    const Uint32 signBit = 1u << (layout.bitsStored - 1);
    auto toSample = [&](Uint32 raw) -> OPJ_INT32 {
        raw &= mask; // bits above Bits Stored are not part of the value
        if (sgnd && (raw & signBit))
            return OPJ_INT32(raw) - OPJ_INT32(mask) - 1;
        return OPJ_INT32(raw);
    };
    if (layout.samples == 1) {
        OPJ_INT32 *out = image->comps[0].data;
        if (layout.bitsAllocated == 8) {
            for (size_t i = 0; i < count; ++i)
                out[i] = toSample(frame[i]);
        } else {
            for (size_t i = 0; i < count; ++i) {
                Uint16 word; // local byte order, as DCMTK keeps uncompressed pixel data
                std::memcpy(&word, frame + 2 * i, 2);
                out[i] = toSample(word);
            }
        }
    } else {
        for (int c = 0; c < 3; ++c) {
            OPJ_INT32 *out = image->comps[c].data;
            for (size_t i = 0; i < count; ++i)
                out[i] = toSample(layout.planar == 1 ? frame[size_t(c) * count + i] : frame[i * 3 + size_t(c)]);
        }
    }
    return image;
}

bool encodeFrame(const ImageLayout &layout, const Uint8 *frame, const J2kRepresentation &rep, std::vector<Uint8> &out,
                 std::string &error)
{
    opj_image_t *image = makeImage(layout, frame);
    if (!image) {
        error = "cannot allocate the image";
        return false;
    }
    opj_cparameters_t params;
    opj_set_default_encoder_parameters(&params);
    params.tcp_numlayers = 1;
    if (rep.reversible()) {
        params.irreversible = 0;
        params.tcp_rates[0] = 0; // all bit planes: lossless
        params.cp_disto_alloc = 1;
    } else {
        params.irreversible = 1;
        params.cp_fixed_quality = 1;
        params.tcp_distoratio[0] = float(j2kTargetPsnr(rep.quality()));
    }
    params.tcp_mct = layout.samples == 3 ? 1 : 0;
    // Every resolution level needs at least one sample in each direction.
    int resolutions = 1;
    for (int side = std::min<int>(layout.rows, layout.columns); side > 1 && resolutions < 6; side /= 2)
        ++resolutions;
    params.numresolution = resolutions;

    Sink sink;
    opj_codec_t *codec = opj_create_compress(OPJ_CODEC_J2K);
    opj_stream_t *stream = opj_stream_create(OPJ_J2K_STREAM_CHUNK_SIZE, OPJ_FALSE);
    bool ok = codec && stream;
    if (ok) {
        opj_set_error_handler(codec, keepMessage, &error);
        opj_set_warning_handler(codec, ignoreMessage, nullptr);
        opj_set_info_handler(codec, ignoreMessage, nullptr);
        opj_stream_set_write_function(stream, sinkWrite);
        opj_stream_set_skip_function(stream, sinkSkip);
        opj_stream_set_seek_function(stream, sinkSeek);
        opj_stream_set_user_data(stream, &sink, nullptr);
        ok = opj_setup_encoder(codec, &params, image) && opj_start_compress(codec, image, stream)
             && opj_encode(codec, stream) && opj_end_compress(codec, stream);
    }
    if (stream)
        opj_stream_destroy(stream);
    if (codec)
        opj_destroy_codec(codec);
    opj_image_destroy(image);
    if (!ok) {
        if (error.empty())
            error = "OpenJPEG could not encode the frame";
        return false;
    }
    sink.bytes.resize(std::max(sink.bytes.size(), sink.position));
    out = std::move(sink.bytes);
    return true;
}

// Appends a value to a multi-valued string element (earlier lossy steps stay listed).
void appendValue(DcmItem &item, const DcmTagKey &key, const OFString &value)
{
    OFString existing;
    if (item.findAndGetOFStringArray(key, existing).good() && !existing.empty())
        item.putAndInsertString(key, (existing + "\\" + value).c_str());
    else
        item.putAndInsertString(key, value.c_str());
}

} // namespace

OFCondition J2kCodec::decode(const DcmRepresentationParameter *, DcmPixelSequence *, DcmPolymorphOBOW &,
                             const DcmCodecParameter *, const DcmStack &, OFBool &) const
{
    return EC_IllegalCall;
}

OFCondition J2kCodec::decodeFrame(const DcmRepresentationParameter *, DcmPixelSequence *, const DcmCodecParameter *,
                                  DcmItem *, Uint32, Uint32 &, void *, Uint32, OFString &) const
{
    return EC_IllegalCall;
}

OFCondition J2kCodec::encode(const E_TransferSyntax, const DcmRepresentationParameter *, DcmPixelSequence *,
                             const DcmRepresentationParameter *, DcmPixelSequence *&, const DcmCodecParameter *,
                             DcmStack &, OFBool &) const
{
    // Compressed input: DCMTK decodes it first and then asks the other encode().
    return EC_IllegalCall;
}

OFBool J2kCodec::canChangeCoding(const E_TransferSyntax oldRepType, const E_TransferSyntax newRepType) const
{
    return newRepType == m_syntax && DcmXfer(oldRepType).isNotEncapsulated();
}

OFCondition J2kCodec::determineDecompressedColorModel(const DcmRepresentationParameter *, DcmPixelSequence *,
                                                      const DcmCodecParameter *, DcmItem *, OFString &) const
{
    return EC_IllegalCall;
}

OFCondition J2kCodec::encode(const Uint16 *pixelData, const Uint32 length, const DcmRepresentationParameter *toRepParam,
                             DcmPixelSequence *&pixSeq, const DcmCodecParameter *, DcmStack &objStack,
                             OFBool &removeOldRep) const
{
    removeOldRep = OFFalse; // the uncompressed pixels stay: a peer may still want them
    // Called from inside DCMTK: nothing may unwind through it.
    try {
        return encodeChecked(pixelData, length, toRepParam, pixSeq, objStack);
    } catch (...) {
        pixSeq = nullptr;
        return EC_MemoryExhausted;
    }
}

OFCondition J2kCodec::encodeChecked(const Uint16 *pixelData, Uint32 length, const DcmRepresentationParameter *toRepParam,
                                    DcmPixelSequence *&pixSeq, DcmStack &objStack) const
{
    DcmStack stack(objStack);
    stack.pop(); // the pixel data element
    DcmObject *parent = stack.top();
    if (!pixelData || !parent || (parent->ident() != EVR_dataset && parent->ident() != EVR_item))
        return EC_InvalidTag;
    auto &item = *static_cast<DcmItem *>(parent);

    ImageLayout layout;
    OFCondition cond = readLayout(item, layout);
    if (cond.bad())
        return cond;
    if (size_t(length) < layout.frameBytes() * size_t(layout.frames))
        return unsupported("JPEG 2000: pixel data shorter than rows x columns x frames");

    // .90 is lossless by definition; .91 follows the quality asked for.
    J2kRepresentation rep(0);
    if (m_syntax == EXS_JPEG2000 && toRepParam && std::strcmp(toRepParam->className(), rep.className()) == 0)
        rep = *static_cast<const J2kRepresentation *>(toRepParam);

    auto sequence = std::make_unique<DcmPixelSequence>(DcmTag(DCM_PixelData, EVR_OB));
    auto *offsetTable = new DcmPixelItem(DcmTag(DCM_Item, EVR_OB));
    sequence->insert(offsetTable);
    DcmOffsetList offsets;
    const auto *bytes = reinterpret_cast<const Uint8 *>(pixelData);
    size_t compressedTotal = 0;
    for (Sint32 f = 0; f < layout.frames; ++f) {
        std::vector<Uint8> stream;
        std::string error;
        if (!encodeFrame(layout, bytes + size_t(f) * layout.frameBytes(), rep, stream, error))
            return unsupported(("JPEG 2000: " + error).c_str());
        compressedTotal += stream.size();
        cond = sequence->storeCompressedFrame(offsets, stream.data(), Uint32(stream.size()), 0);
        if (cond.bad())
            return cond;
    }
    offsetTable->createOffsetTable(offsets);

    // The attributes now describe the encoded pixels.
    if (layout.samples == 3) {
        item.putAndInsertString(DCM_PhotometricInterpretation, rep.reversible() ? "YBR_RCT" : "YBR_ICT");
        item.putAndInsertUint16(DCM_PlanarConfiguration, 0);
    }
    if (!rep.reversible()) {
        item.putAndInsertString(DCM_LossyImageCompression, "01");
        const double ratio = compressedTotal ? double(layout.frameBytes()) * layout.frames / double(compressedTotal) : 1.0;
        char text[32];
        OFStandard::ftoa(text, sizeof(text), ratio, OFStandard::ftoa_uppercase, 0, 5);
        appendValue(item, DCM_LossyImageCompressionRatio, text);
        appendValue(item, DCM_LossyImageCompressionMethod, "ISO_15444_1");
    }
    pixSeq = sequence.release();
    return EC_Normal;
}

void registerJ2kCodecs()
{
    static std::once_flag once;
    std::call_once(once, [] {
        // Registered for the life of the process, as DCMTK's own codecs are.
        static J2kCodec lossless(EXS_JPEG2000LosslessOnly), lossy(EXS_JPEG2000);
        static J2kRepresentation defaults(0);
        static J2kCodecParameter parameter;
        DcmCodecList::registerCodec(&lossless, &defaults, &parameter);
        DcmCodecList::registerCodec(&lossy, &defaults, &parameter);
    });
}

} // namespace pacs::toolkit::detail

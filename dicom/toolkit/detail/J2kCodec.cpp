#include "dicom/toolkit/detail/J2kCodec.h"

#include "dicom/toolkit/detail/ImageWriter.h"
#include "dicom/toolkit/detail/Runtime.h"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcerror.h>
#include <dcmtk/dcmdata/dcitem.h>
#include <dcmtk/dcmdata/dcpixseq.h>
#include <dcmtk/dcmdata/dcpxitem.h>
#include <dcmtk/dcmdata/dcstack.h>
#include <dcmtk/dcmdata/dcswap.h>
#include <dcmtk/dcmdata/dcvrobow.h>
#include <dcmtk/dcmdata/dcvrpobw.h>

#include <openjpeg.h>

#include <algorithm>
#include <cctype>
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

// Inside a catch block, within callbacks of DCMTK and OpenJPEG: never throws.
QString caughtText(const char *where) noexcept
{
    try {
        const QString text = QString::fromLatin1(where) + QStringLiteral(": ") + currentExceptionText();
        logUnreported(text);
        return text;
    } catch (...) {
        return QString(); // no memory even for the message; the caller's failure result still tells
    }
}

// The exception becomes a condition that says what it was (DCMTK's callers
// may just try another syntax, so it is logged here too).
OFCondition codecFailure(const char *where) noexcept
{
    const QString text = caughtText(where);
    try {
        if (!text.isEmpty())
            return makeOFCondition(OFM_dcmdata, 901, OF_error, text.toLocal8Bit().constData());
    } catch (...) {
        // the plain condition below still reports the failure
    }
    return EC_MemoryExhausted; // all that can be said without memory
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
        caughtText("JPEG 2000 encoder output");
        return OPJ_SIZE_T(-1); // OpenJPEG ends the encode with an error
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
    if (!data || !message)
        return;
    std::string text = message;
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.pop_back();
    *static_cast<std::string *>(data) = text;
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

// ---- Decoding -------------------------------------------------------------

// What the decoder needs of the image attributes; looser than the encoder's
// layout (any bits stored up to the allocated size, any photometric).
struct DecodeLayout
{
    Uint16 rows = 0, columns = 0, samples = 0, bitsAllocated = 0, bitsStored = 0, pixelRepresentation = 0;
    Sint32 frames = 1;
    OFString photometric;

    size_t frameBytes() const { return size_t(rows) * columns * samples * (bitsAllocated / 8); }
};

OFCondition readDecodeLayout(DcmItem &item, DecodeLayout &layout)
{
    if (item.findAndGetUint16(DCM_Rows, layout.rows).bad() || item.findAndGetUint16(DCM_Columns, layout.columns).bad()
        || item.findAndGetUint16(DCM_SamplesPerPixel, layout.samples).bad()
        || item.findAndGetUint16(DCM_BitsAllocated, layout.bitsAllocated).bad())
        return unsupported("JPEG 2000: image pixel description incomplete");
    item.findAndGetUint16(DCM_PixelRepresentation, layout.pixelRepresentation);
    item.findAndGetOFString(DCM_PhotometricInterpretation, layout.photometric);
    if (item.findAndGetUint16(DCM_BitsStored, layout.bitsStored).bad() || layout.bitsStored == 0
        || layout.bitsStored > layout.bitsAllocated)
        layout.bitsStored = layout.bitsAllocated;
    Sint32 frames = 1;
    if (item.findAndGetSint32(DCM_NumberOfFrames, frames).good() && frames > 0)
        layout.frames = frames;
    if (layout.rows == 0 || layout.columns == 0)
        return unsupported("JPEG 2000: empty image");
    if (layout.samples != 1 && layout.samples != 3)
        return unsupported("JPEG 2000: only 1 or 3 samples per pixel are decoded");
    if (layout.bitsAllocated != 8 && layout.bitsAllocated != 16)
        return unsupported("JPEG 2000: only 8 or 16 bits allocated are decoded");
    return EC_Normal;
}

// The fragments (item indexes, the offset table being item 0) of each frame.
// One frame takes every fragment; as many fragments as frames go one each;
// otherwise a fragment that opens a code stream (or JP2 file) starts the
// next frame. No guessing beyond that: a mismatch is an error.
bool frameFragments(DcmPixelSequence &sequence, Sint32 frames, std::vector<std::vector<Uint32>> &out)
{
    out.clear();
    const Uint32 items = Uint32(sequence.card());
    if (items < 2 || frames < 1)
        return false;
    if (frames == 1) {
        out.emplace_back();
        for (Uint32 i = 1; i < items; ++i)
            out.back().push_back(i);
        return true;
    }
    if (items - 1 == Uint32(frames)) {
        for (Uint32 i = 1; i < items; ++i)
            out.push_back({i});
        return true;
    }
    for (Uint32 i = 1; i < items; ++i) {
        DcmPixelItem *fragment = nullptr;
        Uint8 *bytes = nullptr;
        if (sequence.getItem(fragment, i).bad() || !fragment)
            return false;
        const Uint32 length = fragment->getLength();
        const bool opens = length >= 4 && fragment->getUint8Array(bytes).good() && bytes
                           && ((bytes[0] == 0xFF && bytes[1] == 0x4F && bytes[2] == 0xFF && bytes[3] == 0x51)
                               || (length >= 8 && bytes[4] == 'j' && bytes[5] == 'P' && bytes[6] == ' ' && bytes[7] == ' '));
        if (opens || out.empty())
            out.emplace_back();
        out.back().push_back(i);
    }
    return out.size() == size_t(frames);
}

OFCondition collectFrame(DcmPixelSequence &sequence, const std::vector<Uint32> &fragments, std::vector<Uint8> &stream)
{
    stream.clear();
    for (Uint32 index : fragments) {
        DcmPixelItem *fragment = nullptr;
        Uint8 *bytes = nullptr;
        if (sequence.getItem(fragment, index).bad() || !fragment)
            return unsupported("JPEG 2000: missing pixel data fragment");
        const Uint32 length = fragment->getLength();
        if (length == 0)
            continue;
        if (fragment->getUint8Array(bytes).bad() || !bytes)
            return unsupported("JPEG 2000: unreadable pixel data fragment");
        stream.insert(stream.end(), bytes, bytes + length);
    }
    // Fragments are padded to an even length; a trailing zero after the EOC
    // marker is harmless to OpenJPEG.
    return EC_Normal;
}

// OpenJPEG reads the code stream through callbacks from memory.
struct Source
{
    const Uint8 *bytes = nullptr;
    size_t size = 0;
    size_t position = 0;
};

OPJ_SIZE_T sourceRead(void *buffer, OPJ_SIZE_T count, void *data)
{
    auto *source = static_cast<Source *>(data);
    if (source->position >= source->size)
        return OPJ_SIZE_T(-1);
    const size_t n = std::min<size_t>(count, source->size - source->position);
    std::memcpy(buffer, source->bytes + source->position, n);
    source->position += n;
    return n;
}

OPJ_OFF_T sourceSkip(OPJ_OFF_T count, void *data)
{
    auto *source = static_cast<Source *>(data);
    if (count < 0) {
        const size_t back = std::min<size_t>(size_t(-count), source->position);
        source->position -= back;
        return -OPJ_OFF_T(back);
    }
    const size_t n = std::min<size_t>(size_t(count), source->size - std::min(source->position, source->size));
    source->position += n;
    return OPJ_OFF_T(n);
}

OPJ_BOOL sourceSeek(OPJ_OFF_T offset, void *data)
{
    auto *source = static_cast<Source *>(data);
    if (offset < 0 || size_t(offset) > source->size)
        return OPJ_FALSE;
    source->position = size_t(offset);
    return OPJ_TRUE;
}

struct DecodedFrame
{
    bool multipleComponentTransform = false;
    bool irreversible = false;
};

// Decodes one frame's code stream into `out` (frameBytes of the layout),
// samples by pixel, in local byte order for 16 bits.
OFCondition decodeFrameStream(const DecodeLayout &layout, const std::vector<Uint8> &stream, Uint8 *out,
                              DecodedFrame &decoded)
{
    static const Uint8 jp2Signature[] = {0x00, 0x00, 0x00, 0x0C, 'j', 'P', ' ', ' ', 0x0D, 0x0A, 0x87, 0x0A};
    OPJ_CODEC_FORMAT format;
    if (stream.size() >= sizeof(jp2Signature) && std::memcmp(stream.data(), jp2Signature, sizeof(jp2Signature)) == 0)
        format = OPJ_CODEC_JP2;
    else if (stream.size() >= 4 && stream[0] == 0xFF && stream[1] == 0x4F && stream[2] == 0xFF && stream[3] == 0x51)
        format = OPJ_CODEC_J2K;
    else
        return unsupported("JPEG 2000: the pixel data is not a JPEG 2000 code stream");

    std::string error;
    Source source{stream.data(), stream.size(), 0};
    opj_codec_t *codec = opj_create_decompress(format);
    opj_stream_t *input = opj_stream_create(OPJ_J2K_STREAM_CHUNK_SIZE, OPJ_TRUE);
    opj_image_t *image = nullptr;
    opj_codestream_info_v2_t *info = nullptr;
    auto cleanUp = [&] {
        if (info)
            opj_destroy_cstr_info(&info);
        if (image)
            opj_image_destroy(image);
        if (input)
            opj_stream_destroy(input);
        if (codec)
            opj_destroy_codec(codec);
    };
    auto fail = [&](const char *what) {
        cleanUp();
        const std::string text = std::string("JPEG 2000: ") + what + (error.empty() ? "" : ": " + error);
        return unsupported(text.c_str());
    };
    if (!codec || !input)
        return fail("cannot set up the decoder");
    opj_set_error_handler(codec, keepMessage, &error);
    opj_set_warning_handler(codec, ignoreMessage, nullptr);
    opj_set_info_handler(codec, ignoreMessage, nullptr);
    opj_stream_set_read_function(input, sourceRead);
    opj_stream_set_skip_function(input, sourceSkip);
    opj_stream_set_seek_function(input, sourceSeek);
    opj_stream_set_user_data(input, &source, nullptr);
    opj_stream_set_user_data_length(input, OPJ_UINT64(stream.size()));
    opj_dparameters_t params;
    opj_set_default_decoder_parameters(&params);
    if (!opj_setup_decoder(codec, &params))
        return fail("cannot set up the decoder");
    // A truncated code stream is an error here, not an image with a grey end.
    opj_decoder_set_strict_mode(codec, OPJ_TRUE);
    if (!opj_read_header(input, codec, &image) || !image)
        return fail("unreadable code stream header");

    // The header must describe the image the attributes describe before
    // OpenJPEG allocates anything for it.
    if (image->numcomps != layout.samples || image->x1 - image->x0 != layout.columns || image->y1 - image->y0 != layout.rows)
        return fail("code stream does not match rows, columns and samples per pixel");
    for (OPJ_UINT32 c = 0; c < image->numcomps; ++c) {
        const opj_image_comp_t &comp = image->comps[c];
        if (comp.dx != 1 || comp.dy != 1 || comp.prec < 1 || comp.prec > layout.bitsAllocated)
            return fail("sub-sampled components or more bits than allocated are not decoded");
    }
    if (!opj_decode(codec, input, image) || !opj_end_decompress(codec, input))
        return fail("damaged code stream");
    const size_t pixels = size_t(layout.rows) * layout.columns;
    for (OPJ_UINT32 c = 0; c < image->numcomps; ++c) {
        const opj_image_comp_t &comp = image->comps[c];
        if (!comp.data || comp.w != layout.columns || comp.h != layout.rows)
            return fail("decoded components do not match the image");
    }
    if ((info = opj_get_cstr_info(codec)) != nullptr) {
        decoded.multipleComponentTransform = info->m_default_tile_info.mct != 0;
        decoded.irreversible = info->m_default_tile_info.tccp_info && info->m_default_tile_info.tccp_info[0].qmfbid == 0;
    }

    // Some encoders code 12-bit images at 16-bit precision; lossy decoding
    // then overshoots. Values stay within the range the attributes give.
    const bool sgnd = layout.pixelRepresentation != 0;
    const OPJ_INT32 high = sgnd ? (OPJ_INT32(1) << (layout.bitsStored - 1)) - 1 : OPJ_INT32((1u << layout.bitsStored) - 1u);
    const OPJ_INT32 low = sgnd ? -(OPJ_INT32(1) << (layout.bitsStored - 1)) : 0;
    const size_t samples = layout.samples;
    for (size_t c = 0; c < samples; ++c) {
        const OPJ_INT32 *in = image->comps[c].data;
        const bool clamp = image->comps[c].prec > layout.bitsStored || (image->comps[c].sgnd != 0) != sgnd;
        for (size_t i = 0; i < pixels; ++i) {
            const OPJ_INT32 v = clamp ? std::clamp(in[i], low, high) : in[i];
            if (layout.bitsAllocated == 8) {
                out[i * samples + c] = Uint8(v);
            } else {
                const Uint16 word = Uint16(v); // two's complement for signed samples
                std::memcpy(out + 2 * (i * samples + c), &word, 2);
            }
        }
    }
    cleanUp();
    return EC_Normal;
}

// The colour model of the decoded pixels: the transform is undone by the
// decoder, so YBR_RCT/YBR_ICT come out as RGB.
OFString decodedColorModel(const OFString &photometric, bool multipleComponentTransform)
{
    if (multipleComponentTransform || photometric == "YBR_RCT" || photometric == "YBR_ICT")
        return "RGB";
    return photometric;
}

} // namespace

OFCondition J2kCodec::decode(const DcmRepresentationParameter *, DcmPixelSequence *pixSeq,
                             DcmPolymorphOBOW &uncompressedPixelData, const DcmCodecParameter *,
                             const DcmStack &objStack, OFBool &removeOldRep) const
{
    // Called from inside DCMTK: nothing may unwind through it.
    try {
        return decodeChecked(pixSeq, uncompressedPixelData, objStack, removeOldRep);
    } catch (...) {
        return codecFailure("JPEG 2000 decode");
    }
}

OFCondition J2kCodec::decodeChecked(DcmPixelSequence *pixSeq, DcmPolymorphOBOW &uncompressedPixelData,
                                    const DcmStack &objStack, OFBool &removeOldRep) const
{
    DcmItem *item = pixelParent(objStack);
    if (!pixSeq || !item)
        return EC_InvalidTag;
    DecodeLayout layout;
    OFCondition cond = readDecodeLayout(*item, layout);
    if (cond.bad())
        return cond;
    std::vector<std::vector<Uint32>> frames;
    if (!frameFragments(*pixSeq, layout.frames, frames))
        return unsupported("JPEG 2000: the fragments do not match the number of frames");
    const size_t total = layout.frameBytes() * size_t(layout.frames);
    if (total > size_t(0xFFFFFFF0u))
        return unsupported("JPEG 2000: image too large");
    const size_t even = total + (total & 1);

    Uint16 *words = nullptr;
    cond = uncompressedPixelData.createUint16Array(Uint32(even / 2), words);
    if (cond.bad())
        return cond;
    auto *bytes = reinterpret_cast<Uint8 *>(words);
    if (even > total)
        bytes[total] = 0;
    DecodedFrame first;
    std::vector<Uint8> stream;
    for (Sint32 f = 0; f < layout.frames; ++f) {
        DecodedFrame decoded;
        cond = collectFrame(*pixSeq, frames[size_t(f)], stream);
        if (cond.good())
            cond = decodeFrameStream(layout, stream, bytes + size_t(f) * layout.frameBytes(), decoded);
        if (cond.bad())
            return cond;
        if (f == 0)
            first = decoded;
    }
    // 8-bit samples were written as bytes; the element holds words.
    if (layout.bitsAllocated == 8)
        swapIfNecessary(gLocalByteOrder, EBO_LittleEndian, words, Uint32(even), sizeof(Uint16));

    // The attributes now describe the decoded pixels.
    if (layout.samples == 3) {
        const OFString model = decodedColorModel(layout.photometric, first.multipleComponentTransform);
        if (model != layout.photometric) {
            item->putAndInsertString(DCM_PhotometricInterpretation, model.c_str());
            removeOldRep = OFTrue; // the code stream no longer matches the attributes
        }
        item->putAndInsertUint16(DCM_PlanarConfiguration, 0);
    }
    if (first.irreversible)
        item->putAndInsertString(DCM_LossyImageCompression, "01");
    return EC_Normal;
}

OFCondition J2kCodec::decodeFrame(const DcmRepresentationParameter *, DcmPixelSequence *fromPixSeq,
                                  const DcmCodecParameter *, DcmItem *dataset, Uint32 frameNo, Uint32 &startFragment,
                                  void *buffer, Uint32 bufSize, OFString &decompressedColorModel) const
{
    try {
        if (!fromPixSeq || !dataset || !buffer)
            return EC_IllegalCall;
        DecodeLayout layout;
        OFCondition cond = readDecodeLayout(*dataset, layout);
        if (cond.bad())
            return cond;
        std::vector<std::vector<Uint32>> frames;
        if (!frameFragments(*fromPixSeq, layout.frames, frames) || frameNo >= frames.size())
            return unsupported("JPEG 2000: no such frame");
        if (bufSize < layout.frameBytes())
            return EC_IllegalCall;
        std::vector<Uint8> stream;
        DecodedFrame decoded;
        cond = collectFrame(*fromPixSeq, frames[frameNo], stream);
        if (cond.good())
            cond = decodeFrameStream(layout, stream, static_cast<Uint8 *>(buffer), decoded);
        if (cond.bad())
            return cond;
        startFragment = frameNo + 1 < frames.size() ? frames[frameNo + 1].front() : Uint32(fromPixSeq->card());
        decompressedColorModel =
            layout.samples == 3 ? decodedColorModel(layout.photometric, decoded.multipleComponentTransform) : layout.photometric;
        return EC_Normal;
    } catch (...) {
        return codecFailure("JPEG 2000 frame decode");
    }
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
    return (newRepType == m_syntax && DcmXfer(oldRepType).isNotEncapsulated())
           || (oldRepType == m_syntax && DcmXfer(newRepType).isNotEncapsulated());
}

OFCondition J2kCodec::determineDecompressedColorModel(const DcmRepresentationParameter *, DcmPixelSequence *,
                                                      const DcmCodecParameter *, DcmItem *dataset,
                                                      OFString &decompressedColorModel) const
{
    if (!dataset)
        return EC_IllegalCall;
    OFString photometric;
    const OFCondition cond = dataset->findAndGetOFString(DCM_PhotometricInterpretation, photometric);
    if (cond.bad())
        return cond;
    decompressedColorModel = decodedColorModel(photometric, false);
    return EC_Normal;
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
        return codecFailure("JPEG 2000 encode");
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

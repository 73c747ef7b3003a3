#include "dicom/toolkit/detail/GuardedJpegDecoder.h"

#include <dcmtk/dcmdata/dcerror.h>
#include <dcmtk/dcmdata/dcpixseq.h>
#include <dcmtk/dcmdata/dcpxitem.h>
#include <dcmtk/dcmjpeg/djcparam.h>
#include <dcmtk/dcmjpeg/djdecbas.h>
#include <dcmtk/dcmjpeg/djdecext.h>
#include <dcmtk/dcmjpeg/djdecpro.h>
#include <dcmtk/dcmjpeg/djdecsps.h>

#include <mutex>

namespace pacs::toolkit::detail {

namespace {
makeOFConditionConst(kLoopingStream, OFM_dcmjpeg, 0x7f01, OF_error,
                     "JPEG stream has a TEM marker (0xFF01) before its frame header");

Uint16 readUint16(const Uint8 *data)
{
    return Uint16((Uint16(data[0]) << 8) | data[1]);
}

bool hasLength(Uint16 marker)
{
    return marker == 0xffc8 || marker == 0xffc4 || marker == 0xffcc || (marker >= 0xffda && marker <= 0xffdf)
           || (marker >= 0xffe0 && marker <= 0xfffe);
}

bool isFrameHeader(Uint16 marker)
{
    return marker >= 0xffc0 && marker <= 0xffcf && marker != 0xffc4 && marker != 0xffc8 && marker != 0xffcc;
}
} // namespace

// The same walk as DCMTK's, step for step, except that it stops where DCMTK's would spin.
bool dcmtkMarkerWalkEnds(const Uint8 *data, Uint32 length)
{
    if (!data)
        return true;
    Uint32 offset = 0;
    while (offset + 4 < length) {
        const Uint16 marker = readUint16(data + offset);
        if (isFrameHeader(marker))
            return true;
        if (marker == 0xff01)
            return false;
        if (hasLength(marker))
            offset += Uint32(readUint16(data + offset + 2)) + 2;
        else if ((marker >= 0xffd0 && marker <= 0xffd9))
            offset += 2;
        else if (marker == 0xffff)
            offset += 1;
        else if (data[offset] == 0xff && data[offset + 1] > 2 && data[offset + 1] <= 0xbf)
            offset += 2;
        else
            return true; // DCMTK stops at an invalid marker
    }
    return true;
}

bool jpegFragmentsAreSafe(DcmPixelSequence *sequence, OFCondition &error)
{
    if (!sequence)
        return true;
    const unsigned long count = sequence->card();
    for (unsigned long i = 1; i < count; ++i) {
        DcmPixelItem *item = nullptr;
        Uint8 *bytes = nullptr;
        if (sequence->getItem(item, i).bad() || !item || item->getUint8Array(bytes).bad())
            continue;
        if (!dcmtkMarkerWalkEnds(bytes, item->getLength())) {
            error = kLoopingStream;
            return false;
        }
    }
    return true;
}

GuardedJpegDecoder::GuardedJpegDecoder(std::unique_ptr<DcmCodec> decoder) : m_decoder(std::move(decoder)) {}

GuardedJpegDecoder::~GuardedJpegDecoder() = default;

OFCondition GuardedJpegDecoder::decode(const DcmRepresentationParameter *fromRepParam, DcmPixelSequence *pixSeq,
                                       DcmPolymorphOBOW &uncompressedPixelData, const DcmCodecParameter *cp,
                                       const DcmStack &objStack, OFBool &removeOldRep) const
{
    OFCondition error;
    if (!jpegFragmentsAreSafe(pixSeq, error))
        return error;
    return m_decoder->decode(fromRepParam, pixSeq, uncompressedPixelData, cp, objStack, removeOldRep);
}

OFCondition GuardedJpegDecoder::decodeFrame(const DcmRepresentationParameter *fromParam, DcmPixelSequence *fromPixSeq,
                                            const DcmCodecParameter *cp, DcmItem *dataset, Uint32 frameNo,
                                            Uint32 &startFragment, void *buffer, Uint32 bufSize,
                                            OFString &decompressedColorModel) const
{
    OFCondition error;
    if (!jpegFragmentsAreSafe(fromPixSeq, error))
        return error;
    return m_decoder->decodeFrame(fromParam, fromPixSeq, cp, dataset, frameNo, startFragment, buffer, bufSize,
                                  decompressedColorModel);
}

OFCondition GuardedJpegDecoder::encode(const Uint16 *, const Uint32, const DcmRepresentationParameter *,
                                       DcmPixelSequence *&, const DcmCodecParameter *, DcmStack &, OFBool &) const
{
    return EC_IllegalCall; // a decoder only, as DCMTK's
}

OFCondition GuardedJpegDecoder::encode(const E_TransferSyntax, const DcmRepresentationParameter *, DcmPixelSequence *,
                                       const DcmRepresentationParameter *, DcmPixelSequence *&,
                                       const DcmCodecParameter *, DcmStack &, OFBool &) const
{
    return EC_IllegalCall;
}

OFBool GuardedJpegDecoder::canChangeCoding(const E_TransferSyntax oldRepType, const E_TransferSyntax newRepType) const
{
    return m_decoder->canChangeCoding(oldRepType, newRepType);
}

OFCondition GuardedJpegDecoder::determineDecompressedColorModel(const DcmRepresentationParameter *fromParam,
                                                                DcmPixelSequence *fromPixSeq,
                                                                const DcmCodecParameter *cp, DcmItem *dataset,
                                                                OFString &decompressedColorModel) const
{
    OFCondition error;
    if (!jpegFragmentsAreSafe(fromPixSeq, error))
        return error;
    return m_decoder->determineDecompressedColorModel(fromParam, fromPixSeq, cp, dataset, decompressedColorModel);
}

void registerGuardedJpegDecoders()
{
    static std::once_flag once;
    std::call_once(once, [] {
        // For the life of the process, as DCMTK's own registration keeps its codecs.
        static DJCodecParameter parameter(ECC_lossyYCbCr, EDC_photometricInterpretation, EUC_default, EPC_default);
        static GuardedJpegDecoder baseline(std::make_unique<DJDecoderBaseline>());
        static GuardedJpegDecoder extended(std::make_unique<DJDecoderExtended>());
        static GuardedJpegDecoder spectral(std::make_unique<DJDecoderSpectralSelection>());
        static GuardedJpegDecoder progressive(std::make_unique<DJDecoderProgressive>());
        for (GuardedJpegDecoder *decoder : {&baseline, &extended, &spectral, &progressive})
            DcmCodecList::registerCodec(decoder, nullptr, &parameter);
    });
}

} // namespace pacs::toolkit::detail

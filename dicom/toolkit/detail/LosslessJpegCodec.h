#pragma once

// Our lossless JPEG coder (LosslessJpeg) as the DCMTK codec for process 14
// (1.2.840.10008.1.2.4.57) and its first-order form (…4.70). Registered ahead
// of DCMTK's own, so every chooseRepresentation(), every frame read by the
// viewer and every send that must decode comes here first.
//
// Encoded here: one sample per pixel (MONOCHROME1/2), 8 or 16 bits allocated,
// any bits stored, signed or unsigned, any number of frames, asked for with
// predictor 1 and no point transform (the defaults). Like DCMTK's encoder, the
// stream codes the whole pixel cell (precision 8 or 16, whatever bits stored
// says), so the cells come back exactly as they were, sign extension and all;
// the pixel sequence has an offset table and one fragment per frame, as DCMTK
// writes it.
//
// Decoded here: frames our decoder takes (one component, predictor 1, no
// point transform, no restart interval), one fragment per frame or a single
// frame in any number of fragments; the result is what DCMTK's decoder makes
// of the same stream, byte for byte (it does not sign-extend a stream coded
// at fewer bits than allocated, and neither do we).
//
// Everything else - colour, other predictors, restart intervals, streams our
// decoder calls damaged - goes to DCMTK's codec unchanged.

#include <dcmtk/dcmdata/dccodec.h>

#include <memory>

class DJCodecDecoder;
class DJCodecEncoder;
class DJCodecParameter;

namespace pacs::toolkit::detail {

class LosslessJpegCodec : public DcmCodec
{
public:
    explicit LosslessJpegCodec(E_TransferSyntax syntax);
    ~LosslessJpegCodec() override;

    OFCondition decode(const DcmRepresentationParameter *, DcmPixelSequence *, DcmPolymorphOBOW &,
                       const DcmCodecParameter *, const DcmStack &, OFBool &) const override;
    OFCondition decodeFrame(const DcmRepresentationParameter *, DcmPixelSequence *, const DcmCodecParameter *,
                            DcmItem *, Uint32, Uint32 &, void *, Uint32, OFString &) const override;
    OFCondition encode(const Uint16 *pixelData, const Uint32 length, const DcmRepresentationParameter *toRepParam,
                       DcmPixelSequence *&pixSeq, const DcmCodecParameter *cp, DcmStack &objStack,
                       OFBool &removeOldRep) const override;
    OFCondition encode(const E_TransferSyntax, const DcmRepresentationParameter *, DcmPixelSequence *,
                       const DcmRepresentationParameter *, DcmPixelSequence *&, const DcmCodecParameter *, DcmStack &,
                       OFBool &) const override;
    OFBool canChangeCoding(const E_TransferSyntax oldRepType, const E_TransferSyntax newRepType) const override;
    OFCondition determineDecompressedColorModel(const DcmRepresentationParameter *, DcmPixelSequence *,
                                                const DcmCodecParameter *, DcmItem *, OFString &) const override;

private:
    E_TransferSyntax m_syntax;
    std::unique_ptr<DJCodecDecoder> m_dcmtkDecoder;
    std::unique_ptr<DJCodecEncoder> m_dcmtkEncoder;
    std::unique_ptr<DJCodecParameter> m_decoderParameter;
    std::unique_ptr<DJCodecParameter> m_encoderParameter;
};

// Registers the codecs for both syntaxes; must run before DCMTK's JPEG codecs
// are registered (the first codec that takes a syntax wins).
void registerLosslessJpegCodecs();

// Our coder alone, for pixels held apart from the dataset `item` describes
// (`length` bytes of native 16-bit cells): whether it codes them with the
// defaults (one sample per pixel, 16 bits allocated, every frame there), and
// the coding itself: the pixel sequence the codec would make, the derivation
// noted in `item` as the codec notes it; false, with `item` unchanged, where
// it cannot. Reads `item` only through its own calls, so the caller decides
// which thread may.
bool losslessJpegCodes16(DcmItem &item, Uint32 length);
bool encodeLosslessJpeg16(const Uint16 *pixels, Uint32 length, DcmItem &item, DcmPixelSequence *&pixSeq);

} // namespace pacs::toolkit::detail

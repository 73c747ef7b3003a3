#pragma once

// DCMTK 3.6.7's JPEG decoders walk a fragment's markers to find the frame
// header before decoding, and the walk never moves past a TEM marker
// (0xFF01): a stream with one where a marker is expected makes the decoder
// loop for ever (found by fuzzing whole files). One such image from the
// network would hang the viewer's main thread or a retrieve for good. Every
// JPEG stream goes through jpegFragmentsAreSafe() before DCMTK's decoder sees
// it; the DCT decoders are registered wrapped in GuardedJpegDecoder, and our
// lossless codec checks before it falls back to DCMTK.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dccodec.h>

#include <memory>

class DcmPixelSequence;
class DJCodecParameter;

namespace pacs::toolkit::detail {

// True when DCMTK's marker walk over `data` ends (finds a frame header, an
// invalid marker or the end); false when it would loop.
bool dcmtkMarkerWalkEnds(const Uint8 *data, Uint32 length);

// Every fragment after the offset table passes dcmtkMarkerWalkEnds(); false,
// with `error` set, otherwise.
bool jpegFragmentsAreSafe(DcmPixelSequence *sequence, OFCondition &error);

class GuardedJpegDecoder : public DcmCodec
{
public:
    explicit GuardedJpegDecoder(std::unique_ptr<DcmCodec> decoder);
    ~GuardedJpegDecoder() override;

    OFCondition decode(const DcmRepresentationParameter *, DcmPixelSequence *, DcmPolymorphOBOW &,
                       const DcmCodecParameter *, const DcmStack &, OFBool &) const override;
    OFCondition decodeFrame(const DcmRepresentationParameter *, DcmPixelSequence *, const DcmCodecParameter *,
                            DcmItem *, Uint32, Uint32 &, void *, Uint32, OFString &) const override;
    OFCondition encode(const Uint16 *, const Uint32, const DcmRepresentationParameter *, DcmPixelSequence *&,
                       const DcmCodecParameter *, DcmStack &, OFBool &) const override;
    OFCondition encode(const E_TransferSyntax, const DcmRepresentationParameter *, DcmPixelSequence *,
                       const DcmRepresentationParameter *, DcmPixelSequence *&, const DcmCodecParameter *, DcmStack &,
                       OFBool &) const override;
    OFBool canChangeCoding(const E_TransferSyntax oldRepType, const E_TransferSyntax newRepType) const override;
    OFCondition determineDecompressedColorModel(const DcmRepresentationParameter *, DcmPixelSequence *,
                                                const DcmCodecParameter *, DcmItem *, OFString &) const override;

private:
    std::unique_ptr<DcmCodec> m_decoder;
};

// DCMTK's baseline, extended, spectral-selection and progressive JPEG
// decoders, each guarded; in place of DJDecoderRegistration (whose lossless
// decoders ours replaces).
void registerGuardedJpegDecoders();

} // namespace pacs::toolkit::detail

#pragma once

// JPEG 2000 encoding and decoding (OpenJPEG) as a DCMTK codec, so that
// DcmDataset::chooseRepresentation(EXS_JPEG2000, &J2kRepresentation(q))
// produces it, and chooseRepresentation(<uncompressed>) reads it, like any
// other compressed syntax.
//
// Quality is the operator's number, 1 to 100, 1 the highest fidelity:
//   quality <= 1   reversible 5/3 wavelet, reversible colour transform:
//                  lossless, even when sent as 1.2.840.10008.1.2.4.91
//                  (that syntax allows reversible code streams).
//   quality 2..100 irreversible 9/7 wavelet, one quality layer whose rate is
//                  chosen by OpenJPEG to reach a PSNR of 80 - quality/2 dB
//                  (2 -> 79 dB, 90 -> 35 dB, 100 -> 30 dB), relative to the
//                  stored bit depth; for 12-bit CT 35 dB is an RMS error of
//                  about 73 of 4095.
// 1.2.840.10008.1.2.4.90 (lossless only) is always reversible.
//
// Encoded: MONOCHROME1/2 with 8 or 16 bits allocated, signed or unsigned, and
// 8-bit RGB (either planar configuration); each frame into its own fragment.
// Anything else reports EC_CannotChangeRepresentation and the caller keeps
// another syntax.
//
// Decoded: 1 or 3 samples of up to 16 bits (8 or 16 allocated), signed or
// unsigned, one frame per code stream (a frame may span several fragments),
// raw code streams and JP2-wrapped ones. Colour comes out by pixel; a code
// stream with the multiple-component transform comes out as RGB. A damaged or
// truncated code stream, or one that does not match the image attributes, is
// an error (never a partial image).

#include <dcmtk/dcmdata/dccodec.h>
#include <dcmtk/dcmdata/dcpixel.h>

namespace pacs::toolkit::detail {

// The PSNR OpenJPEG is asked for at this quality; 0 for a reversible code stream.
double j2kTargetPsnr(int quality);

class J2kRepresentation : public DcmRepresentationParameter
{
public:
    explicit J2kRepresentation(int quality = 0) : m_quality(quality) {}
    int quality() const { return m_quality; }
    bool reversible() const { return m_quality <= 1; }

    DcmRepresentationParameter *clone() const override { return new J2kRepresentation(*this); }
    const char *className() const override { return "pacs::J2kRepresentation"; }
    OFBool operator==(const DcmRepresentationParameter &other) const override;

private:
    int m_quality;
};

class J2kCodec : public DcmCodec
{
public:
    explicit J2kCodec(E_TransferSyntax syntax) : m_syntax(syntax) {}

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
    OFCondition decodeChecked(DcmPixelSequence *pixSeq, DcmPolymorphOBOW &uncompressedPixelData,
                              const DcmStack &objStack, OFBool &removeOldRep) const;
    OFCondition encodeChecked(const Uint16 *pixelData, Uint32 length, const DcmRepresentationParameter *toRepParam,
                              DcmPixelSequence *&pixSeq, DcmStack &objStack) const;

    E_TransferSyntax m_syntax;
};

// Registers the codecs for 1.2.840.10008.1.2.4.90 and .91 once.
void registerJ2kCodecs();

} // namespace pacs::toolkit::detail

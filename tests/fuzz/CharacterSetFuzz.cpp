// Any value bytes under any Specific Character Set: the first line of the
// input is the set (0008,0005), the rest the value of a PN and an LO element.

#include "dicom/toolkit/detail/CharacterSets.h"

#include <QByteArray>

#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcvr.h>
#include <dcmtk/oflog/oflog.h>

#include <cstddef>
#include <cstdint>

using namespace pacs::toolkit::detail;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool quiet = [] {
        OFLog::configure(OFLogger::FATAL_LOG_LEVEL); // DCMTK's complaints about the input are expected
        return true;
    }();
    (void)quiet;
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    const qsizetype newline = input.indexOf('\n');
    const QByteArray charset = newline < 0 ? QByteArray() : input.left(newline);
    const QByteArray value = newline < 0 ? input : input.mid(newline + 1);

    DcmDataset dataset;
    if (!charset.isEmpty())
        dataset.putAndInsertString(DCM_SpecificCharacterSet, charset.constData(), OFTrue);
    for (const DcmEVR vr : {EVR_PN, EVR_LO, EVR_UT}) {
        const QString text = decodeValue(value.constData(), size_t(value.size()), &dataset, DcmVR(vr));
        encodeValue(text, &dataset, DcmVR(vr));
    }
    decodeIso2022(value.constData(), size_t(value.size()), QString::fromLatin1(charset), QStringLiteral("\\^="));
    return 0;
}

#include "dicom/toolkit/detail/FileHeader.h"

#include <QFile>

#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcmetinf.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace pacs::toolkit::detail {

namespace {
constexpr size_t kPreamble = 128;
// What one read takes: the meta groups the archive and modalities write are a
// few hundred bytes; a longer one is left to DCMTK.
constexpr size_t kPeekBytes = 4096;
constexpr size_t kMaxUid = 64;

unsigned word16(const uint8_t *p) { return unsigned(p[0]) | unsigned(p[1]) << 8; }
uint32_t word32(const uint8_t *p) { return uint32_t(word16(p)) | uint32_t(word16(p + 2)) << 16; }

// Explicit VRs whose length takes four bytes after two reserved ones.
bool hasLongLength(const uint8_t *vr)
{
    static const char *const kLong[] = {"OB", "OD", "OF", "OL", "OV", "OW", "SQ", "SV", "UC", "UN", "UR", "UT", "UV"};
    for (const char *v : kLong)
        if (vr[0] == uint8_t(v[0]) && vr[1] == uint8_t(v[1]))
            return true;
    return false;
}

// A UID value without its padding (a trailing NUL or blank); empty when it is
// longer than a UID can be or holds anything but digits and dots.
std::string uidValue(const uint8_t *value, size_t length)
{
    while (length > 0 && (value[length - 1] == 0 || value[length - 1] == ' '))
        --length;
    if (length == 0 || length > kMaxUid)
        return {};
    for (size_t i = 0; i < length; ++i)
        if (value[i] != '.' && (value[i] < '0' || value[i] > '9'))
            return {};
    return std::string(reinterpret_cast<const char *>(value), length);
}

bool peekWithDcmtk(const QString &path, FileHeader &header)
{
    DcmFileFormat file;
    const QByteArray name = QFile::encodeName(path);
    OFString sopClass, xfer;
    if (file.loadFile(name.constData(), EXS_Unknown, EGL_noChange, DCM_MaxReadLength, ERM_metaOnly).good()
        && file.getMetaInfo()->findAndGetOFString(DCM_MediaStorageSOPClassUID, sopClass).good()
        && file.getMetaInfo()->findAndGetOFString(DCM_TransferSyntaxUID, xfer).good() && !sopClass.empty()) {
        header.sopClass = sopClass.c_str();
        header.xfer = DcmXfer(xfer.c_str()).getXfer();
        return header.xfer != EXS_Unknown;
    }
    if (file.loadFile(name.constData()).bad()
        || file.getDataset()->findAndGetOFString(DCM_SOPClassUID, sopClass).bad())
        return false;
    header.sopClass = sopClass.c_str();
    header.xfer = file.getDataset()->getOriginalXfer();
    return true;
}
} // namespace

bool parseFileMetaHeader(const uint8_t *data, size_t size, FileHeader &header)
{
    if (!data || size < kPreamble + 4 || std::memcmp(data + kPreamble, "DICM", 4) != 0)
        return false;
    std::string sopClass, xfer;
    size_t at = kPreamble + 4;
    // Element by element while the group is 0002: tag, two VR letters, then
    // the value's length in two bytes, or in four after two reserved bytes.
    while (size - at >= 8 && word16(data + at) == 0x0002) {
        const unsigned element = word16(data + at + 2);
        const uint8_t *vr = data + at + 4;
        if (vr[0] < 'A' || vr[0] > 'Z' || vr[1] < 'A' || vr[1] > 'Z')
            return false; // not explicit VR: DCMTK's reading guesses better
        size_t length;
        if (hasLongLength(vr)) {
            if (size - at < 12)
                return false;
            length = word32(data + at + 8);
            at += 12;
        } else {
            length = word16(data + at + 6);
            at += 8;
        }
        if (length > size - at)
            return false; // runs past what was read (or undefined): DCMTK's turn
        if (element == 0x0002)
            sopClass = uidValue(data + at, length);
        else if (element == 0x0010)
            xfer = uidValue(data + at, length);
        at += length;
        if (!sopClass.empty() && !xfer.empty())
            break; // what follows (a long private part, say) is not needed
    }
    if (sopClass.empty() || xfer.empty())
        return false;
    const E_TransferSyntax syntax = DcmXfer(xfer.c_str()).getXfer();
    if (syntax == EXS_Unknown)
        return false;
    header.sopClass = sopClass;
    header.xfer = syntax;
    return true;
}

bool peekFile(const QString &path, FileHeader &header)
{
    // One read of the file's start instead of DCMTK's parse of the meta
    // group: a C-MOVE of a series peeks every file before the first is sent,
    // and DCMTK's reading took ten times as long.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    uint8_t start[kPeekBytes];
    ssize_t got = 0;
    for (;;) {
        got = ::read(fd, start, sizeof start);
        if (got >= 0 || errno != EINTR)
            break;
    }
    ::close(fd);
    if (got > 0 && parseFileMetaHeader(start, size_t(got), header))
        return true;
    return peekWithDcmtk(path, header);
}

std::vector<FileHeader> peekFiles(const QStringList &paths)
{
    std::vector<FileHeader> headers;
    headers.reserve(size_t(paths.size()));
    for (const QString &path : paths) {
        FileHeader header;
        if (!path.trimmed().isEmpty() && peekFile(path, header))
            headers.push_back(std::move(header));
    }
    return headers;
}

} // namespace pacs::toolkit::detail

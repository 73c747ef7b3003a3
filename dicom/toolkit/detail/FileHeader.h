#pragma once

// What a send needs to know of a stored file before it is read whole: its
// SOP class and the syntax it is stored in, for the presentation contexts of
// the association that will carry it.

#include <QString>
#include <QStringList>

#include <dcmtk/dcmdata/dcxfer.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pacs::toolkit::detail {

struct FileHeader
{
    std::string sopClass;
    E_TransferSyntax xfer = EXS_Unknown;
};

// The file meta group at the start of a DICOM file (preamble, "DICM", group
// 0002 in explicit little endian): false when the bytes are not such a group
// or lack either value. Reads nothing outside `data`..`data + size`.
bool parseFileMetaHeader(const uint8_t *data, size_t size, FileHeader &header);

// From the meta group where it reads plainly, otherwise through DCMTK (a file
// without meta group is read whole); false for a file neither can read.
bool peekFile(const QString &path, FileHeader &header);

// The readable files among `paths`, one peek each.
std::vector<FileHeader> peekFiles(const QStringList &paths);

} // namespace pacs::toolkit::detail

#pragma once

#include "dicom/toolkit/detail/ImageWriter.h"

#include <cstdint>
#include <memory>

#include <sys/types.h>

class DcmFileFormat;

namespace pacs::toolkit::detail {

// A received image written to disk as it arrived, under a temporary name in
// the encode queue's folder, before its handler runs: the handler's save then
// only puts that file in place, and the sender no longer waits for the write
// after the handler's lookups. Used only while the image is unchanged (no
// dataset edited since) and the save asks for what was written; otherwise
// the save writes as before and this file is removed with the image.
class EarlyWrite
{
public:
    // On the association's thread, before the handler sees the image: null
    // when it is not worth it (no encode queue folder, the queue behind, no
    // pixels to compress later) or the write failed (the save then says why).
    static std::shared_ptr<EarlyWrite> start(DcmFileFormat &file, E_TransferSyntax arrived);

    // On the main thread, by the save to `path` in `target` with the encode
    // queue at `deferFolder`: moves the written file into `temp`, once, when
    // it can serve that save.
    bool take(const QString &path, E_TransferSyntax target, const QString &deferFolder, TempDicomFile &temp);

    const QString &folder() const { return m_folder; }

private:
    TempDicomFile m_temp;
    QString m_folder;
    std::uint64_t m_edits = 0;
    dev_t m_device = 0;
};

} // namespace pacs::toolkit::detail

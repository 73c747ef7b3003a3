#pragma once

#include "dicom/toolkit/detail/ImageWriter.h"

#include <dcmtk/ofstd/oftypes.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include <sys/types.h>

class DcmFileFormat;

namespace pacs::toolkit::detail {

// A received image compressed into its stored form and written under a
// temporary name in the encode queue's folder while its handler runs: the
// handler's save then only puts that file in place, and the sender waits for
// the longer of the two instead of both in turn. The association's thread
// takes a copy of the image before the handler sees it and writes from that
// copy, so the two threads never share a dataset. Where our coder takes the
// image, the copy leaves out the pixel data and the coder reads the received
// cells in place: nothing in the program writes a received image's pixels
// (every save, send and write clones the image first, and a clone only reads
// them), and the association's thread keeps the image until write() has
// returned. Used only while the image is unchanged (no dataset edited since)
// and the save asks for what is written; otherwise the save writes as before
// and this file is removed with the image.
class EarlyWrite
{
public:
    // On the association's thread, before the handler sees the image: null
    // when it is not worth it (no encode queue folder, nothing to compress).
    static std::shared_ptr<EarlyWrite> start(DcmFileFormat &file, E_TransferSyntax arrived);

    // On the association's thread, once the handler has the image: compresses
    // and writes the copy. Always called after start(); a save waits for it.
    void write();

    // On the main thread, by the save to `path` in `target` with the encode
    // queue at `deferFolder`: true, once, when the file can serve that save.
    bool claim(const QString &path, E_TransferSyntax target, const QString &deferFolder);

    // By the claiming save, off the main thread: waits for write() and moves
    // the written file into `temp`; false with the write's error.
    bool takeWritten(TempDicomFile &temp, QString &error);

    const QString &folder() const { return m_folder; }

private:
    // Codes m_pixels into the copy's pixel data; false when it cannot.
    bool codeInPlace();

    std::unique_ptr<DcmFileFormat> m_copy; // until written
    const Uint16 *m_pixels = nullptr;      // the received cells, when m_copy has no pixel data
    Uint32 m_pixelBytes = 0;
    E_TransferSyntax m_arrived = EXS_Unknown;
    QString m_folder;
    std::uint64_t m_edits = 0;
    dev_t m_device = 0;
    bool m_claimed = false; // main thread only

    std::mutex m_mutex;
    std::condition_variable m_done;
    bool m_written = false;
    TempDicomFile m_temp;
    QString m_error;
};

} // namespace pacs::toolkit::detail

#pragma once

// The toolkit set up once for a fuzz target that reads or writes files.

#include "dicom/toolkit/detail/Runtime.h"

#include <QDir>
#include <QTemporaryDir>

#include <dcmtk/oflog/oflog.h>

namespace pacs::fuzz {

// A scratch folder (in memory where there is a tmpfs: a write's fsync costs
// nothing there), with codecs registered and DCMTK's complaints about the
// input silenced; null when no folder can be made.
inline const QTemporaryDir *toolkitScratchFolder()
{
    static QTemporaryDir folder(QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm/pacs-fuzz-XXXXXX")
                                                                          : QDir::tempPath() + QStringLiteral("/pacs-fuzz-XXXXXX"));
    static const bool ready = [] {
        pacs::toolkit::detail::initializeRuntime();
        OFLog::configure(OFLogger::FATAL_LOG_LEVEL);
        return folder.isValid();
    }();
    return ready ? &folder : nullptr;
}

} // namespace pacs::fuzz

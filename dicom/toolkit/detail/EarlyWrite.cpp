#include "dicom/toolkit/detail/EarlyWrite.h"

#include "dicom/toolkit/ToolkitEncodeQueue.h"
#include "dicom/toolkit/detail/DatasetEdits.h"

#include <QFile>
#include <QFileInfo>

#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>

#include <sys/stat.h>

namespace pacs::toolkit::detail {

namespace {
// What the archive stores; a save that asks for anything else writes itself.
constexpr E_TransferSyntax kStoredSyntax = EXS_JPEGProcess14;
constexpr char kName[] = "incoming.dcm"; // temporary files: ".incoming.dcm.<tag>.XXXXXX"
} // namespace

std::shared_ptr<EarlyWrite> EarlyWrite::start(DcmFileFormat &file, E_TransferSyntax arrived)
{
    ToolkitEncodeQueue &queue = ToolkitEncodeQueue::instance();
    const QString folder = queue.folder();
    DcmDataset *dataset = file.getDataset();
    if (folder.isEmpty() || queue.pending() >= queue.backlogLimit() || !dataset || arrived == EXS_Unknown
        || arrived == kStoredSyntax || isLossy(arrived) || !canConvert(arrived, kStoredSyntax)
        || !dataset->tagExistsWithValue(DCM_PixelData))
        return nullptr;
    auto early = std::make_shared<EarlyWrite>();
    early->m_folder = folder;
    early->m_edits = datasetEdits();
    QString error;
    if (!writeTempDicomFile(file, arrived, folder, folder + QLatin1Char('/') + QLatin1String(kName), kStoredSyntax, true,
                            early->m_temp, error)
        || !early->m_temp.deferred)
        return nullptr;
    struct stat st;
    if (early->m_temp.fd < 0 || ::fstat(early->m_temp.fd, &st) != 0)
        return nullptr;
    early->m_device = st.st_dev;
    return early;
}

bool EarlyWrite::take(const QString &path, E_TransferSyntax target, const QString &deferFolder, TempDicomFile &temp)
{
    if (m_temp.path.isEmpty() || target != m_temp.target || deferFolder != m_folder || datasetEdits() != m_edits)
        return false;
    // A rename cannot cross volumes: a storage folder mounted elsewhere is written the usual way.
    struct stat st;
    if (::stat(QFile::encodeName(QFileInfo(path).absolutePath()).constData(), &st) != 0 || st.st_dev != m_device)
        return false;
    temp = std::move(m_temp);
    return true;
}

} // namespace pacs::toolkit::detail

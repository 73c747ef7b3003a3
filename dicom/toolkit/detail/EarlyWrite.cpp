#include "dicom/toolkit/detail/EarlyWrite.h"

#include "dicom/toolkit/ToolkitEncodeQueue.h"
#include "dicom/toolkit/detail/DatasetEdits.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>

#include <new>
#include <sys/stat.h>

namespace pacs::toolkit::detail {

namespace {
constexpr char kName[] = "incoming.dcm"; // temporary files: ".incoming.dcm.<tag>.XXXXXX"

// The volume of `folder`, or of its nearest existing parent (a series'
// folder is made by the save of its first image); 0 when unknown.
dev_t deviceOf(const QString &folder)
{
    QString at = QDir::cleanPath(QFileInfo(folder).absoluteFilePath());
    for (int depth = 0; depth < 64 && !at.isEmpty(); ++depth) {
        struct stat st;
        if (::stat(QFile::encodeName(at).constData(), &st) == 0)
            return S_ISDIR(st.st_mode) ? st.st_dev : dev_t(0);
        const QString parent = QFileInfo(at).path();
        if (parent == at)
            break;
        at = parent;
    }
    return 0;
}
} // namespace

std::shared_ptr<EarlyWrite> EarlyWrite::start(DcmFileFormat &file, E_TransferSyntax arrived)
{
    const QString folder = ToolkitEncodeQueue::instance().folder();
    DcmDataset *dataset = file.getDataset();
    if (folder.isEmpty() || !dataset || arrived == EXS_Unknown || arrived == kArchiveSyntax || isLossy(arrived)
        || !canConvert(arrived, kArchiveSyntax) || !dataset->tagExistsWithValue(DCM_PixelData))
        return nullptr;
    auto early = std::make_shared<EarlyWrite>();
    early->m_device = deviceOf(folder);
    if (early->m_device == 0)
        return nullptr;
    early->m_folder = folder;
    early->m_arrived = arrived;
    early->m_edits = datasetEdits();
    early->m_copy = std::make_unique<DcmFileFormat>(file);
    return early;
}

void EarlyWrite::write()
{
    TempDicomFile temp;
    QString error;
    try {
        if (m_copy)
            writeTempDicomFile(*m_copy, m_arrived, m_folder, m_folder + QLatin1Char('/') + QLatin1String(kName),
                               kArchiveSyntax, false, temp, error);
        else
            error = QStringLiteral("the image was written already");
    } catch (const std::bad_alloc &) {
        temp.discard();
        error = QStringLiteral("not enough memory to write the image");
    } catch (...) {
        temp.discard();
        error = QStringLiteral("the image could not be written");
    }
    m_copy.reset();
    {
        std::lock_guard lock(m_mutex);
        m_temp = std::move(temp);
        m_error = error;
        m_written = true;
    }
    m_done.notify_all();
}

bool EarlyWrite::claim(const QString &path, E_TransferSyntax target, const QString &deferFolder)
{
    if (m_claimed || target != kArchiveSyntax || deferFolder != m_folder || datasetEdits() != m_edits)
        return false;
    // A rename cannot cross volumes: a storage folder mounted elsewhere is written the usual way.
    if (deviceOf(QFileInfo(path).absolutePath()) != m_device)
        return false;
    m_claimed = true;
    return true;
}

bool EarlyWrite::takeWritten(TempDicomFile &temp, QString &error)
{
    std::unique_lock lock(m_mutex);
    m_done.wait(lock, [this] { return m_written; });
    if (m_temp.path.isEmpty()) {
        error = m_error.isEmpty() ? QStringLiteral("the image could not be written") : m_error;
        return false;
    }
    temp = std::move(m_temp);
    return true;
}

} // namespace pacs::toolkit::detail

#include "dicom/toolkit/detail/EarlyWrite.h"

#include "dicom/toolkit/ToolkitEncodeQueue.h"
#include "dicom/toolkit/detail/DatasetEdits.h"
#include "dicom/toolkit/detail/LosslessJpegCodec.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcpixel.h>
#include <dcmtk/dcmdata/dcpixseq.h>
#include <dcmtk/dcmdata/dcstack.h>

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

// The image's one pixel data element when our coder can take its cells as
// they lie (16-bit words in this machine's order, nothing DCMTK would refuse
// to compress); null otherwise.
DcmPixelData *pixelsToCodeInPlace(DcmDataset &dataset, E_TransferSyntax arrived)
{
    const DcmXfer syntax(arrived);
    if (syntax.isEncapsulated() || syntax.getByteOrder() != gLocalByteOrder
        || dataset.tagExists(DCM_FloatPixelData, OFTrue) || dataset.tagExists(DCM_DoubleFloatPixelData, OFTrue)
        || dataset.tagExists(DCM_PixelDataProviderURL, OFTrue))
        return nullptr;
    DcmStack found;
    int count = 0;
    while (dataset.search(DCM_PixelData, found, ESM_afterStackTop, OFTrue).good())
        ++count;
    DcmElement *element = nullptr;
    if (count != 1 || dataset.findAndGetElement(DCM_PixelData, element).bad() || !element
        || element->ident() != EVR_PixelData || element->getTag().getEVR() != EVR_OW)
        return nullptr;
    auto *pixel = static_cast<DcmPixelData *>(element);
    // The received cells themselves, uncompressed.
    if (!pixel->hasRepresentation(EXS_LittleEndianExplicit, nullptr) || !losslessJpegCodes16(dataset, pixel->getLength()))
        return nullptr;
    return pixel;
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
    if (DcmPixelData *pixel = pixelsToCodeInPlace(*dataset, arrived)) {
        Uint16 *words = nullptr;
        if (pixel->getUint16Array(words).good() && words) {
            // Copied without its pixel data, which goes back in place at once.
            DcmElement *taken = dataset->remove(pixel);
            try {
                early->m_copy = std::make_unique<DcmFileFormat>(file);
            } catch (...) {
                dataset->insert(taken, OFTrue);
                throw;
            }
            dataset->insert(taken, OFTrue);
            early->m_pixels = words;
            early->m_pixelBytes = pixel->getLength();
            return early;
        }
    }
    early->m_copy = std::make_unique<DcmFileFormat>(file);
    return early;
}

void EarlyWrite::write()
{
    TempDicomFile temp;
    QString error;
    try {
        // Coded in place, the copy holds the stored form only: written as it is.
        const bool inPlace = m_copy && m_pixels;
        if (inPlace && !codeInPlace())
            error = QStringLiteral("the image could not be compressed");
        else if (m_copy)
            writeTempDicomFile(*m_copy, inPlace ? kArchiveSyntax : m_arrived, m_folder,
                               m_folder + QLatin1Char('/') + QLatin1String(kName), kArchiveSyntax, false, temp, error);
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
    m_pixels = nullptr; // the image is its handler's again
    {
        std::lock_guard lock(m_mutex);
        m_temp = std::move(temp);
        m_error = error;
        m_written = true;
    }
    m_done.notify_all();
}

bool EarlyWrite::codeInPlace()
{
    DcmDataset *dataset = m_copy->getDataset();
    DcmPixelSequence *sequence = nullptr;
    if (!dataset || !encodeLosslessJpeg16(m_pixels, m_pixelBytes, *dataset, sequence))
        return false;
    // As chooseRepresentation() leaves a compressed image: the coded form
    // current, with the parameters a save asks for.
    auto pixel = std::make_unique<DcmPixelData>(DCM_PixelData);
    const auto parameters = representationFor(kArchiveSyntax, 0);
    pixel->putOriginalRepresentation(kArchiveSyntax, parameters.get(), sequence);
    if (dataset->insert(pixel.get(), OFTrue).bad())
        return false;
    pixel.release();
    // Finds the coded form and notes it as the dataset's syntax.
    return dataset->chooseRepresentation(kArchiveSyntax, parameters.get()).good();
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

#include "dicom/toolkit/ToolkitImage.h"

#include "dicom/toolkit/detail/EarlyWrite.h"
#include "dicom/toolkit/detail/ImageWriter.h"
#include "dicom/toolkit/detail/Runtime.h"
#include "dicom/toolkit/detail/ScuAssociation.h"

#include <QFile>

#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcuid.h>

namespace pacs::toolkit {

struct ToolkitImage::Data
{
    DcmFileFormat file;
    E_TransferSyntax arrived = EXS_Unknown;
    std::shared_ptr<detail::EarlyWrite> early; // not part of a clone
};

ToolkitImage::ToolkitImage() : m_d(std::make_shared<Data>()) {}

ToolkitImage ToolkitImage::fromDataset(DcmDataset *dataset, int transferSyntax)
{
    ToolkitImage image;
    if (dataset) {
        // DcmFileFormat(dataset, deepCopy=false) would keep our pointer; swap contents instead.
        DcmDataset *target = image.m_d->file.getDataset();
        while (dataset->card() > 0)
            target->insert(dataset->remove(0ul), OFTrue);
        delete dataset;
    }
    image.m_d->arrived = E_TransferSyntax(transferSyntax);
    return image;
}

bool ToolkitImage::readFile(const QString &path, QString *error)
{
    auto data = std::make_shared<Data>();
    const OFCondition cond = detail::loadWholeFile(data->file, path);
    if (cond.bad()) {
        if (error)
            *error = detail::conditionText(cond, QString(), QStringLiteral("cannot read ") + path);
        return false;
    }
    data->arrived = data->file.getDataset()->getOriginalXfer();
    m_d = data;
    return true;
}

bool ToolkitImage::isEmpty() const { return m_d->file.getDataset()->card() == 0; }

QString ToolkitImage::text(int group, int element) const { return attributeSet().findAttribute(group, element).attributeText(); }

void ToolkitImage::setText(int group, int element, const QString &value)
{
    attributeSet().putAttribute(group, element, value);
}

QString ToolkitImage::patientId() const { return text(0x0010, 0x0020); }
void ToolkitImage::setPatientId(const QString &value) { setText(0x0010, 0x0020, value); }
QString ToolkitImage::patientName() const { return text(0x0010, 0x0010); }
void ToolkitImage::setPatientName(const QString &value) { setText(0x0010, 0x0010, value); }
QString ToolkitImage::studyUid() const { return text(0x0020, 0x000D); }
void ToolkitImage::setStudyUid(const QString &value) { setText(0x0020, 0x000D, value); }
QString ToolkitImage::seriesUid() const { return text(0x0020, 0x000E); }
void ToolkitImage::setSeriesUid(const QString &value) { setText(0x0020, 0x000E, value); }
QString ToolkitImage::instanceUid() const { return text(0x0008, 0x0018); }
void ToolkitImage::setInstanceUid(const QString &value) { setText(0x0008, 0x0018, value); }
QString ToolkitImage::accessionNumber() const { return text(0x0008, 0x0050); }
void ToolkitImage::setAccessionNumber(const QString &value) { setText(0x0008, 0x0050, value); }
QString ToolkitImage::studyDescription() const { return text(0x0008, 0x1030); }
void ToolkitImage::setStudyDescription(const QString &value) { setText(0x0008, 0x1030, value); }
QString ToolkitImage::patientSex() const { return text(0x0010, 0x0040); }
void ToolkitImage::setPatientSex(const QString &value) { setText(0x0010, 0x0040, value); }
QVariant ToolkitImage::birthDate() const { return attributeSet().findAttribute(0x0010, 0x0030).attributeValue(); }
void ToolkitImage::setBirthDate(const QVariant &value) { attributeSet().putAttribute(0x0010, 0x0030, value); }

ToolkitDataset ToolkitImage::dataset() const
{
    return ToolkitDataset(std::shared_ptr<DcmItem>(m_d, m_d->file.getDataset()));
}

ToolkitAttributeSet ToolkitImage::attributeSet() const { return dataset().datasetAttributes(); }

QString ToolkitImage::sopClassUid() const { return text(0x0008, 0x0016); }

QString ToolkitImage::transferSyntaxUid() const
{
    return m_d->arrived == EXS_Unknown ? QString() : detail::uidOfXfer(m_d->arrived);
}

bool ToolkitImage::writeImageFile(const QString &path, bool compressed, QString *error) const
{
    detail::initializeRuntime();
    ToolkitImage copy = clone();
    const auto outcome = detail::writeDicomFile(copy.m_d->file, copy.m_d->arrived, path,
                                                compressed ? EXS_JPEGProcess14 : copy.m_d->arrived);
    if (!outcome.ok && error)
        *error = outcome.error;
    return outcome.ok;
}

bool ToolkitImage::sendToNode(const QString &address, int port, const QString &callingTitle,
                              const QString &calledTitle, QString *error) const
{
    detail::initializeRuntime();
    ToolkitImage copy = clone();
    bool ok = false;
    QString message;
    detail::runBlocking([&] {
        detail::ScuAssociation association;
        const std::string sopClass = copy.sopClassUid().toStdString();
        std::vector<detail::ProposedContext> contexts{
            {sopClass, {UID_LittleEndianExplicitTransferSyntax, UID_LittleEndianImplicitTransferSyntax}}};
        if (copy.m_d->arrived != EXS_Unknown && !detail::isUncompressed(copy.m_d->arrived))
            contexts.insert(contexts.begin(), {sopClass, {detail::uidOfXfer(copy.m_d->arrived).toStdString()}});
        if (!association.open(address, port, callingTitle, calledTitle, contexts, &message))
            return;
        detail::StoreOptions options;
        options.remoteAe = calledTitle;
        const auto outcome = detail::storeDataset(association.association(), *copy.m_d->file.getDataset(),
                                                  copy.m_d->arrived, options);
        association.release();
        ok = outcome.kind != detail::StoreOutcome::Failed;
        message = outcome.error;
    });
    if (!ok && error)
        *error = message;
    return ok;
}

ToolkitImage ToolkitImage::clone() const
{
    ToolkitImage copy;
    copy.m_d->file = m_d->file;
    copy.m_d->arrived = m_d->arrived;
    return copy;
}

DcmFileFormat &ToolkitImage::fileFormat() const { return m_d->file; }
int ToolkitImage::arrivedTransferSyntax() const { return int(m_d->arrived); }
std::shared_ptr<detail::EarlyWrite> ToolkitImage::earlyWrite() const { return m_d->early; }
void ToolkitImage::setEarlyWrite(std::shared_ptr<detail::EarlyWrite> written) { m_d->early = std::move(written); }

} // namespace pacs::toolkit

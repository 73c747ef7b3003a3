#pragma once

// ToolkitDataset: one DICOM dataset (a query identifier, a response, a
// sequence item). Copies share the same data, like the object references of
// the interface this layer offers; use clone() for an independent copy.
//
// Naming: operations keep the interface's names in lowerCamelCase
// (DatasetAttributes -> datasetAttributes(), DatasetPatientId -> datasetPatientId()).

#include "dicom/toolkit/ToolkitAttributeSet.h"

#include <QString>

#include <memory>

class DcmItem;

namespace pacs::toolkit {

class ToolkitDataset
{
public:
    ToolkitDataset(); // a new, empty dataset
    explicit ToolkitDataset(std::shared_ptr<DcmItem> item);

    ToolkitAttributeSet datasetAttributes() const;
    // Shortcuts to the attribute set's findAttribute/putAttribute.
    ToolkitAttribute findAttribute(int group, int element) const;
    bool putAttribute(int group, int element, const QVariant &value);

    // Identifier keys, as text ("" when absent).
    QString datasetPatientId() const;
    QString datasetStudyUid() const;
    QString datasetSeriesUid() const;
    QString datasetInstanceUid() const;

    bool isEmpty() const;
    ToolkitDataset clone() const;

    // The elements of a DICOM file without their long values (pixel data
    // stays on disk); an empty dataset and a description when the file
    // cannot be read.
    static ToolkitDataset readFileElements(const QString &path, QString *error = nullptr);

    // For the toolkit's own use.
    DcmItem *item() const { return m_item.get(); }
    const std::shared_ptr<DcmItem> &handle() const { return m_item; }

private:
    std::shared_ptr<DcmItem> m_item;
};

} // namespace pacs::toolkit

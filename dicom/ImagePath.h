#pragma once

#include <QString>
#include <QVariant>

namespace pacs {

// Where a received image is filed:
//   root + "IMAGES/" [+ institution + "/"] + year + "/" + modality + "/" + study date
//        + "/" + patient ID + "/" + SOP Instance UID (dots as "_") + ".dcm"
// e.g. /srv/pacs/IMAGES/2024/CT/1_15_2024/P001/1_2_840_99_7.dcm.
// Every component comes from the network and is cleaned on its own, so no
// value can leave the storage root: blanks, "/", "\", "'", ".", ":" and
// control characters become "_", and an empty component becomes "_".
struct ImagePathParts
{
    QString storageRoot;      // ends in "/"
    bool byInstitution = false;
    QString institution;
    QVariant studyDate;       // the toolkit's value: a QDate, text or Null
    QString modality;
    QString patientId;
    QString instanceUid;
};

QString imagePath(const ImagePathParts &parts);
// True when the file is there and reads as a DICOM file (preamble and "DICM").
bool isReadableDicomFile(const QString &path);
QString cleanPathComponent(const QString &text);
// The file name (without ".dcm") of an instance: distinct for distinct UIDs.
QString instanceFileStem(const QString &instanceUid);
// The folder of the notes that an image's row may be written before its
// file (see PendingWrites), so a start after a crash finds the rows whose
// file never completed.
QString pendingWriteFolder(const QString &storageRoot);
// The folder of the markers of files stored as received and still to be
// compressed (see toolkit::ToolkitEncodeQueue).
QString encodeQueueFolder(const QString &storageRoot);

} // namespace pacs

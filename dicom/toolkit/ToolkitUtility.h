#pragma once

// ToolkitUtility: UIDs, the echo test and factories for datasets and sequences.

#include "dicom/toolkit/ToolkitDataset.h"
#include "dicom/toolkit/ToolkitSequence.h"

#include <QString>

namespace pacs::toolkit {

class ToolkitUtility
{
public:
    // A new globally unique UID under DCMTK's site root.
    static QString newUid();
    // C-ECHO over an association of its own: 0 when the node answered with
    // success, the DIMSE status when it answered otherwise, -1 when no
    // association came about (*error then says why).
    static int echoTest(const QString &address, int port, const QString &callingTitle, const QString &calledTitle,
                        QString *error = nullptr);
    // Before a process exits: waits (at most `milliseconds`) for network
    // threads still closing associations whose connection objects are gone.
    static bool waitForNetworkThreads(int milliseconds);
    static ToolkitDataset newDataset() { return ToolkitDataset(); }
    static ToolkitSequence newSequence() { return ToolkitSequence(); }
};

} // namespace pacs::toolkit

#pragma once

#include <QString>
#include <QVariant>

namespace pacs {

class ActivityLog;

// A person name split into the archive's four columns. First, Middle and
// Last come back SQL-ready: apostrophes doubled, commas removed, carets
// turned into blanks, trimmed.
struct PersonNameParts
{
    QString title;
    QString first;
    QString middle;
    QString last;
};

// Reads the comma form ("DOE, JOHN^A"), the DICOM caret form
// ("SMITH^JOHN^PAUL^JR") and free text ("John Paul SMITH"). Of a name with
// component groups ("Wang^XiaoDong=王^小東=") the first non-empty group is
// split. A Null name gives empty parts and the log line "No Name."; an empty
// one gives empty parts.
PersonNameParts SplitPersonName(const QVariant &name, ActivityLog *log = nullptr);

} // namespace pacs

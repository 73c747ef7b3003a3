#pragma once

// The suite's counts table: one row per scenario (what was tried, images
// acknowledged, stored, quarantined, lost), kept as a Markdown table in the
// folder TALMIR_RELIABILITY_TABLE_DIR names (by default under the build
// tree). Each scenario runs in its own process; each writes its own row file
// and the table is rebuilt from all of them under a lock.

#include "tests/reliability/ArchiveAudit.h"

#include <QString>

namespace pacs::test {

class ScenarioTable
{
public:
    // kind: "Load held", "Fault survived" or "Bad input tried".
    static void record(const QString &kind, const QString &scenario, const QString &tried, const ArchiveAudit &audit);
    static QString folder();
};

} // namespace pacs::test

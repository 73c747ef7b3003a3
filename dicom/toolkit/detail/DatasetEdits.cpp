#include "dicom/toolkit/detail/DatasetEdits.h"

#include <atomic>

namespace pacs::toolkit::detail {

namespace {
std::atomic<std::uint64_t> g_edits{0};
} // namespace

void noteDatasetEdit() { g_edits.fetch_add(1); }

std::uint64_t datasetEdits() { return g_edits.load(); }

} // namespace pacs::toolkit::detail

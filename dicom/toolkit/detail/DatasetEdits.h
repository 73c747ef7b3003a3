#pragma once

#include <cstdint>

namespace pacs::toolkit::detail {

// A count of the edits made through the toolkit to any dataset (an element
// put, replaced or removed), on any thread. Unchanged between two readings,
// no dataset was edited in between: what a file written from an image before
// its handler ran relies on to know the image is still as written.
void noteDatasetEdit();
std::uint64_t datasetEdits();

} // namespace pacs::toolkit::detail

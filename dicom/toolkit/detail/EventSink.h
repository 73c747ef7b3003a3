#pragma once

namespace pacs::toolkit {
class ToolkitEvents;
}

namespace pacs::toolkit::detail {

// Where a listener's events go. Shared with its connections, touched only on
// the main thread; `alive` turns false when the listener is destroyed.
struct EventSink
{
    ToolkitEvents *events = nullptr;
    bool alive = true;
};

} // namespace pacs::toolkit::detail

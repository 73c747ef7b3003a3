#pragma once

#include <condition_variable>
#include <mutex>

namespace pacs::toolkit::detail {

// A save started by the handler of a received image writes its file at once,
// beside the handler's own work (the image's row), but puts it in place only
// once that handler has returned, and only when the handler did not refuse
// the image: the file appears after its row, and a refused image leaves none.
class SaveHold
{
public:
    // Once, on the main thread, when the handler has returned.
    void release(bool place);
    // On the writer's thread: waits for release(); true when the file goes in place.
    bool waitForRelease();
    // Whether release() came already (without waiting).
    bool released();

private:
    std::mutex m_mutex;
    std::condition_variable m_released;
    bool m_done = false;
    bool m_place = false;
};

} // namespace pacs::toolkit::detail

#include "dicom/toolkit/detail/SaveHold.h"

namespace pacs::toolkit::detail {

void SaveHold::release(bool place)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_done)
            return;
        m_done = true;
        m_place = place;
    }
    m_released.notify_all();
}

bool SaveHold::waitForRelease()
{
    std::unique_lock lock(m_mutex);
    m_released.wait(lock, [this] { return m_done; });
    return m_place;
}

bool SaveHold::released()
{
    std::lock_guard lock(m_mutex);
    return m_done;
}

} // namespace pacs::toolkit::detail

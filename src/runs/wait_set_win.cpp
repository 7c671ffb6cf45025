#include "wait_set.h"

#include "panel_driver.h"
#include "stop_signals.h"

#include <windows.h>

int CWaitSet::AddPort(const CPanelDriver& driver)
{
    return AddEvent(driver.PollEvent());
}

int CWaitSet::AddStop()
{
    return AddEvent(StopEvent());
}

int CWaitSet::AddEvent(void* hEvent)
{
    // WaitForMultipleObjects takes at most 64 handles; the runs wait on four.
    if (hEvent == nullptr || m_handles.size() >= MAXIMUM_WAIT_OBJECTS)
        return -1;
    m_handles.push_back(hEvent);
    m_ready.push_back(false);
    return static_cast<int>(m_handles.size()) - 1;
}

bool CWaitSet::Wait(int nMs)
{
    m_ready.assign(m_handles.size(), false);
    const DWORD nTimeout = nMs < 0 ? INFINITE : static_cast<DWORD>(nMs);
    if (m_handles.empty()) {
        ::Sleep(nTimeout);
        return false;
    }
    const DWORD n = ::WaitForMultipleObjects(static_cast<DWORD>(m_handles.size()), m_handles.data(), FALSE, nTimeout);
    if (n >= WAIT_OBJECT_0 + m_handles.size())
        return false;
    // The wait names the first end that is set; the others are asked without waiting, which
    // leaves a manual-reset event as it is.
    const size_t nFirst = n - WAIT_OBJECT_0;
    m_ready[nFirst] = true;
    for (size_t i = nFirst + 1; i < m_handles.size(); ++i)
        m_ready[i] = ::WaitForSingleObject(m_handles[i], 0) == WAIT_OBJECT_0;
    return true;
}

bool CWaitSet::Ready(int nEnd) const
{
    return nEnd >= 0 && static_cast<size_t>(nEnd) < m_ready.size() && m_ready[static_cast<size_t>(nEnd)];
}

bool CWaitSet::Empty() const
{
    return m_handles.empty();
}

void CWaitSet::Clear()
{
    m_handles.clear();
    m_ready.clear();
}

#include "wait_set.h"

#include "panel_driver.h"
#include "stop_signals.h"

#include <cerrno>

namespace {

int Add(std::vector<pollfd>& fds, int fd, short events)
{
    if (fd < 0)
        return -1;
    fds.push_back(pollfd{fd, events, 0});
    return static_cast<int>(fds.size()) - 1;
}

} // namespace

int CWaitSet::AddPort(const CPanelDriver& driver)
{
    return Add(m_fds, driver.PollDescriptor(), POLLIN);
}

int CWaitSet::AddStop()
{
    return Add(m_fds, StopDescriptor(), POLLIN);
}

int CWaitSet::AddReadable(int fd)
{
    return Add(m_fds, fd, POLLIN);
}

int CWaitSet::AddWritable(int fd)
{
    return Add(m_fds, fd, POLLOUT);
}

bool CWaitSet::Wait(int nMs)
{
    for (pollfd& fd : m_fds)
        fd.revents = 0;
    const int n = ::poll(m_fds.data(), m_fds.size(), nMs < 0 ? -1 : nMs);
    // A signal that cut the wait short is looked at by the caller, as if an end were ready.
    return n > 0 || (n < 0 && errno == EINTR);
}

bool CWaitSet::Ready(int nEnd) const
{
    // A hang-up or an error is ready too: the read or write that follows meets it.
    return nEnd >= 0 && static_cast<size_t>(nEnd) < m_fds.size() && m_fds[static_cast<size_t>(nEnd)].revents != 0;
}

bool CWaitSet::Empty() const
{
    return m_fds.empty();
}

void CWaitSet::Clear()
{
    m_fds.clear();
}

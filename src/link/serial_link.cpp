#include "serial_link.h"

#ifdef _WIN32
#include "win32_serial_device.h"
using CPlatformSerialDevice = CWin32SerialDevice;
#else
#include "posix_serial_device.h"
using CPlatformSerialDevice = CPosixSerialDevice;
#endif

#include "network_serial_device.h"

#include <algorithm>
#include <cstdlib>

namespace {

// One unit of the time-out factor is worth 18.2065 ms; the factor 20, its fraction cut off,
// gives 364 ms for each single wait on a byte from the panel.
constexpr double kTimeoutUnit = 18.2065;

} // namespace

CSerialLink::CSerialLink(ISerialDevice* pDevice, IClock* pClock)
    : m_pDevice(pDevice), m_pClock(pClock != nullptr ? pClock : &DefaultClock())
{
    if (m_pDevice == nullptr) {
        m_bOwnsDevice = true;
        m_pOwnedDevice = std::make_unique<CPlatformSerialDevice>();
        m_pDevice = m_pOwnedDevice.get();
    }
}

CSerialLink::~CSerialLink()
{
    Close();
}

int CSerialLink::Open(const std::string& strPath, int nBaud)
{
    if (m_bOpen)
        return 1;
    m_strDevicePath = strPath;
    if (m_bOwnsDevice) {
        // The path says which kind of device it is: a URL is a port on a serial device server.
        if (IsNetPortName(strPath)) {
            if (m_pOwnedNetDevice == nullptr)
                m_pOwnedNetDevice = std::make_unique<CNetworkSerialDevice>();
            m_pDevice = m_pOwnedNetDevice.get();
        } else {
            m_pDevice = m_pOwnedDevice.get();
        }
    }
    const bool bOpened = m_pDevice->Open(m_strDevicePath, nBaud);
    PassOnNotes();
    if (!bOpened) {
        m_strOpenError = m_pDevice->LastError();
        m_nOpenErrno = m_pDevice->LastErrorNumber();
        return 0;
    }
    m_strOpenError.clear();
    m_nOpenErrno = 0;
    m_bOpen = 1;
    return 1;
}

void CSerialLink::PassOnNotes()
{
    for (const CDeviceNote& note : m_pDevice->TakeNotes())
        for (ILinkObserver* pObserver : m_observers)
            pObserver->OnDeviceNote(note);
}

int CSerialLink::Close()
{
    if (!m_bOpen)
        return 1;
    m_pDevice->Close();
    m_bOpen = 0;
    return 1;
}

void CSerialLink::CloseLost()
{
    Close();
    for (ILinkObserver* pObserver : m_observers)
        pObserver->OnLinkLost();
}

void CSerialLink::AddObserver(ILinkObserver* pObserver)
{
    if (pObserver != nullptr && std::find(m_observers.begin(), m_observers.end(), pObserver) == m_observers.end())
        m_observers.push_back(pObserver);
}

void CSerialLink::RemoveObserver(ILinkObserver* pObserver)
{
    m_observers.erase(std::remove(m_observers.begin(), m_observers.end(), pObserver), m_observers.end());
}

void CSerialLink::SetObserver(ILinkObserver* pObserver)
{
    m_observers.clear();
    AddObserver(pObserver);
}

int CSerialLink::WriteByte(uint8_t ch)
{
    if (!m_bOpen)
        return 0;
    m_pDevice->WriteByte(ch);
    return 1;
}

int CSerialLink::BytesWaiting()
{
    if (!m_bOpen)
        return 255;
    return m_pDevice->InputQueued();
}

int CSerialLink::ReadByte(uint8_t* pch)
{
    if (!m_bOpen)
        return 255;
    switch (m_pDevice->ReadByte(pch)) {
    case ISerialDevice::ReadStatus::Byte: return 1;
    case ISerialDevice::ReadStatus::Nothing: return 0;
    case ISerialDevice::ReadStatus::Error: break;
    }
    CloseLost();
    return 0;
}

int CSerialLink::ReadFailed() const
{
    // ReadByte answers 0 both for an empty read and for a read error, which has closed the
    // link. Reported as "no byte", a hang-up would look like a line that may still answer.
    return m_bOpen ? kBlockNoByte : kBlockClosed;
}

int CSerialLink::ReplyTimeoutMs() const
{
    return static_cast<int>(m_nTimeoutFactor * kTimeoutUnit);
}

int CSerialLink::WaitForInput()
{
    // Same results as polling BytesWaiting and the clock in a tight loop, but the waiting
    // happens in the device's bounded wait, so a silent panel costs no CPU.
    const int64_t limit = ReplyTimeoutMs();
    const int32_t start = m_pClock->NowMs();
    if (BytesWaiting() != 0)
        return 1;
    for (;;) {
        // The difference is taken on 32 bits so that it stays right when the millisecond
        // counter wraps from INT32_MAX to INT32_MIN; widening first would read the wrap as a
        // jump of four billion milliseconds and close a healthy link.
        const int32_t diff =
            static_cast<int32_t>(static_cast<uint32_t>(m_pClock->NowMs()) - static_cast<uint32_t>(start));
        const int64_t elapsed = std::llabs(static_cast<int64_t>(diff));
        if (elapsed > limit) {
            CloseLost();
            return 0;
        }
        if (BytesWaiting() != 0)
            return 1;
        // Sleep until the first millisecond past the limit at the latest. A hang-up counts as
        // input: the read that follows meets the error and closes the link like a read error.
        if (m_pDevice->WaitReadable(static_cast<int>(limit - elapsed + 1)) == ISerialDevice::WaitStatus::HungUp)
            return 1;
    }
}

int CSerialLink::SendBlock(const uint8_t* pData, int nLen, int nVariant)
{
    const bool bOpen = m_bOpen != 0;
    const int result = SendBlockInner(pData, nLen, nVariant);
    m_bExchangeFoundOpen = bOpen;
    for (ILinkObserver* pObserver : m_observers)
        pObserver->OnBlockSent(pData, nLen, nVariant, result);
    PassOnNotes();
    return result;
}

int CSerialLink::SendBlockInner(const uint8_t* pData, int nLen, int nVariant)
{
    if (!m_bOpen)
        return kBlockClosed;
    WriteByte(kStx);
    if (!WaitForInput())
        return kBlockClosed;
    uint8_t answer = 0;
    if (ReadByte(&answer) != 1)
        return ReadFailed();
    if (answer != kDle)
        return kBlockWrongByte;

    const std::span<const uint8_t> data(pData, nLen > 0 ? static_cast<size_t>(nLen) : 0);
    for (const uint8_t b : BlockTail(data, nVariant))
        WriteByte(b);

    if (!WaitForInput())
        return kBlockClosed;
    if (ReadByte(&answer) != 1)
        return ReadFailed();
    return answer == kDle ? kBlockDone : kBlockWrongByte;
}

int CSerialLink::ReceiveBlock(uint8_t* pBuf, int* pnCount, int nCapacity)
{
    int nStored = 0;
    int result = kBlockClosed;
    if (nCapacity < 0)
        nCapacity = 0;
    const bool bOpen = m_bOpen != 0;
    result = ReceiveBlockInner(pBuf, &nStored, nCapacity);
    if (result == kBlockDone && pnCount != nullptr)
        *pnCount = nStored;
    m_bExchangeFoundOpen = bOpen;
    for (ILinkObserver* pObserver : m_observers)
        pObserver->OnBlockReceived(pBuf, nStored, result);
    PassOnNotes();
    return result;
}

int CSerialLink::ReceiveBlockInner(uint8_t* pBuf, int* pnStored, int nCapacity)
{
    if (!m_bOpen)
        return kBlockClosed;
    if (!WaitForInput())
        return kBlockClosed;
    uint8_t ch = 0;
    if (ReadByte(&ch) != 1)
        return ReadFailed();
    if (ch != kStx) {
        // Not the start of a block: drop whatever is waiting and say nothing. A read that met
        // a hang-up while dropping has closed the link, and the result says so.
        while (ReadByte(&ch) == 1) {
        }
        return m_bOpen ? kBlockWrongByte : kBlockClosed;
    }
    WriteByte(kDle);

    enum class State { Data, AfterDle, End };
    State state = State::Data;
    bool pair = false;
    int length = 0; // payload bytes received, stored or dropped for lack of room
    auto store = [&](uint8_t byte) {
        if (length < nCapacity)
            pBuf[length] = byte;
        ++length;
        *pnStored = length < nCapacity ? length : nCapacity;
    };

    for (int received = 0; state != State::End; ++received) {
        if (received >= kMaxBlockLineBytes) {
            // A stream without an end is no block: drop what is waiting, as for a block
            // without STX, and leave the line to the next poll.
            while (ReadByte(&ch) == 1) {
            }
            return m_bOpen ? kBlockWrongByte : kBlockClosed;
        }
        if (!WaitForInput())
            return kBlockClosed;
        if (ReadByte(&ch) != 1)
            return ReadFailed();
        if (ch == kDle) {
            if (!pair) {
                pair = true;
                state = State::AfterDle;
            } else {
                pair = false;
                store(kDle);
                state = State::Data;
            }
        } else if (ch == kEtx && state == State::AfterDle) {
            state = State::End;
        } else {
            store(ch);
            state = State::Data;
        }
    }

    if (!WaitForInput())
        return kBlockClosed;
    if (ReadByte(&ch) != 1) // the BCC: read, never checked
        return ReadFailed();
    WriteByte(kDle);
    return kBlockDone;
}

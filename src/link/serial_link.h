#pragma once

#include "block_format.h"
#include "clock.h"
#include "port_names.h"
#include "serial_device.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Every caller of ReceiveBlock hands in a reply buffer of this size.
inline constexpr int kReplyBufferSize = 256;

// A block that runs on this many bytes after its STX without DLE ETX is given up: each byte
// arriving within the reply time-out would otherwise hold the program in the receive forever.
inline constexpr int kMaxBlockLineBytes = 4096;

// Results of SendBlock and ReceiveBlock.
inline constexpr int kBlockDone = 0;
inline constexpr int kBlockNoByte = 33;    // a read delivered nothing although input was waiting
inline constexpr int kBlockWrongByte = 34; // refused by the peer, or no STX at the front
inline constexpr int kBlockClosed = 255;   // link closed at the call, or a time-out or read error closed it

// Watches block exchanges, for the traffic trace and the link statistics. Called after each
// exchange ends; CSerialLink::ExchangeFoundOpen tells an exchange from a call on a closed link.
class ILinkObserver {
public:
    virtual ~ILinkObserver() = default;
    virtual void OnBlockSent(const uint8_t* pData, int nLen, int nVariant, int nResult) = 0;
    virtual void OnBlockReceived(const uint8_t* pData, int nLen, int nResult) = 0;
    // A reply time-out or a read error has just closed the open link (inside an exchange, or
    // in a WaitForInput of its own). A Close asked for by the caller is no loss.
    virtual void OnLinkLost() {}
    // A line the device has for the trace (a network server's warning or a line error it
    // reported), told after the open or the exchange that brought it.
    virtual void OnDeviceNote(const CDeviceNote& note) { (void)note; }
};

// The serial channel to the panel and the block procedure on top of it. One thread only;
// every wait is bounded by the reply time-out and blocks in the operating system.
class CSerialLink {
public:
    // Without a device the link opens real serial ports, and for a URL (rfc2217://, socket://)
    // a port on a serial device server; without a clock it uses the monotonic millisecond
    // clock. Neither is owned when passed in.
    explicit CSerialLink(ISerialDevice* pDevice = nullptr, IClock* pClock = nullptr);
    ~CSerialLink();
    CSerialLink(const CSerialLink&) = delete;
    CSerialLink& operator=(const CSerialLink&) = delete;

    // Byte channel. Opens the device at strPath (a port's device as the port setup resolved
    // it; the link knows nothing of COM1 and COM2).
    int Open(const std::string& strPath, int nBaud);
    int Close();
    int WriteByte(uint8_t ch);
    int BytesWaiting();
    int ReadByte(uint8_t* pch);

    // Block procedure.
    int WaitForInput();
    int SendBlock(const uint8_t* pData, int nLen, int nVariant);
    // Stores the telegram compactly from position 0 and at most nCapacity bytes of it; a
    // longer block is still read to its end and acknowledged. *pnCount gets the number of
    // bytes stored, only when the result is kBlockDone.
    int ReceiveBlock(uint8_t* pBuf, int* pnCount, int nCapacity = kReplyBufferSize);

    // The reply time-out in milliseconds: the factor times 18.2065, truncated (364 for 20).
    int ReplyTimeoutMs() const;

    // Why the last Open failed, in the system's words; empty after a successful Open.
    const std::string& LastOpenError() const { return m_strOpenError; }
    int LastOpenErrno() const { return m_nOpenErrno; }
    // The device's descriptor to watch for input while the link is open, else -1.
    int PollDescriptor() const { return m_bOpen ? m_pDevice->Descriptor() : -1; }
    // Windows: the device's event to wait on for input while the link is open, else nullptr.
    void* PollEvent() const { return m_bOpen ? m_pDevice->WaitEvent() : nullptr; }
    // The device path the last Open tried.
    const std::string& DevicePath() const { return m_strDevicePath; }

    // Several observers watch at once (the trace and the statistics), each told in the order
    // added. SetObserver replaces them all with one (nullptr: none).
    void AddObserver(ILinkObserver* pObserver);
    void RemoveObserver(ILinkObserver* pObserver);
    void SetObserver(ILinkObserver* pObserver);
    // Whether the link was open when the last SendBlock or ReceiveBlock was called, that is,
    // whether anything went on the line; read by observers while they are told of it.
    bool ExchangeFoundOpen() const { return m_bExchangeFoundOpen; }
    IClock& Clock() const { return *m_pClock; }

    int32_t m_nTimeoutFactor = 20;
    int m_bOpen = 0;

private:
    int SendBlockInner(const uint8_t* pData, int nLen, int nVariant);
    int ReceiveBlockInner(uint8_t* pBuf, int* pnCount, int nCapacity);
    void CloseLost();
    // The result of an exchange whose read delivered no byte.
    int ReadFailed() const;
    // Tells the observers what the device has to say.
    void PassOnNotes();

    // Owned devices, made when first needed: the platform's serial port and the network one.
    std::unique_ptr<ISerialDevice> m_pOwnedDevice;
    std::unique_ptr<ISerialDevice> m_pOwnedNetDevice;
    bool m_bOwnsDevice = false;
    ISerialDevice* m_pDevice;
    IClock* m_pClock;
    std::vector<ILinkObserver*> m_observers;
    bool m_bExchangeFoundOpen = false;
    std::string m_strOpenError;
    int m_nOpenErrno = 0;
    std::string m_strDevicePath;
};

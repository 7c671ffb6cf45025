#pragma once

// Pieces shared by the benchmarks: the virtual panel started as COM1, a device that counts the
// bytes crossing the line, the processor time of this process, percentiles and peak memory.
#include "posix_serial_device.h"
#include "sim_process.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/resource.h>
#include <time.h>
#include <vector>

// Starts the virtual panel, paced at baud (0: as fast as the line goes), with the further
// arguments, and makes it COM1 for everything the benchmark opens afterwards. Says why on stderr
// when it cannot.
inline bool StartSimAsCom1(CSimProcess& sim, const char* simBinary, int baud, const char* who,
                           const std::vector<std::string>& extraArgs = {})
{
    std::vector<std::string> args = extraArgs;
    if (baud != 0) {
        args.push_back("--baud");
        args.push_back(std::to_string(baud));
    }
    std::string error;
    if (!sim.Start(simBinary, args, &error)) {
        std::fprintf(stderr, "%s: %s\n", who, error.c_str());
        return false;
    }
    ::setenv("KOVA_COM1", sim.LinkPath().c_str(), 1);
    return true;
}

class CCountingDevice final : public ISerialDevice {
public:
    bool Open(const std::string& path, int baud) override { return m_inner.Open(path, baud); }
    void Close() override { m_inner.Close(); }
    void WriteByte(uint8_t byte) override
    {
        ++m_nWritten;
        if (m_bLastWasRead)
            m_readToWriteMs.push_back(NowMs() - m_lastReadMs);
        m_bLastWasRead = false;
        m_inner.WriteByte(byte);
    }
    int InputQueued() override { return m_inner.InputQueued(); }
    ReadStatus ReadByte(uint8_t* byte) override
    {
        const ReadStatus status = m_inner.ReadByte(byte);
        if (status == ReadStatus::Byte) {
            ++m_nRead;
            m_lastReadMs = NowMs();
            m_bLastWasRead = true;
        }
        return status;
    }
    WaitStatus WaitReadable(int timeoutMs) override { return m_inner.WaitReadable(timeoutMs); }
    std::string LastError() const override { return m_inner.LastError(); }
    int LastErrorNumber() const override { return m_inner.LastErrorNumber(); }

    long Total() const { return m_nWritten + m_nRead; }
    // The program's own part of each turnaround: from the read that took the panel's last
    // byte to the write of the next byte, without the wake-up and the line.
    std::vector<double>& ReadToWriteMs() { return m_readToWriteMs; }

private:
    static double NowMs()
    {
        timespec ts{};
        ::clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
    }

    CPosixSerialDevice m_inner;
    long m_nWritten = 0;
    long m_nRead = 0;
    double m_lastReadMs = 0;
    bool m_bLastWasRead = false;
    std::vector<double> m_readToWriteMs;
};

inline double CpuSeconds()
{
    rusage ru{};
    ::getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec)
           + static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

inline double PeakResidentMiB()
{
    rusage ru{};
    ::getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_maxrss) / 1024.0;
}

inline double LoadAverage()
{
    double load = 0;
    if (FILE* pFile = std::fopen("/proc/loadavg", "r")) {
        if (std::fscanf(pFile, "%lf", &load) != 1)
            load = 0;
        std::fclose(pFile);
    }
    return load;
}

inline double Percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0.0;
    std::sort(v.begin(), v.end());
    const size_t i = std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5));
    return v[i];
}

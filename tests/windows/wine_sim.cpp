#include "wine_sim.h"

#include <windows.h>

#include <cstdlib>
#include <fstream>

bool CWineSim::Attach(std::string* pError)
{
    const char* dir = std::getenv("KOVA_WINE_SIM_DIR");
    if (dir == nullptr || *dir == '\0') {
        *pError = "KOVA_WINE_SIM_DIR is not set: run these tests through tests/windows/run-wine-tests.sh";
        return false;
    }
    m_dir = dir;
    if (const char* variant = std::getenv("KOVA_WINE_VARIANT"))
        m_nVariant = std::atoi(variant) == 0 ? 0 : 1;
    // Answers to commands of earlier runs are not ours.
    std::ifstream replies(m_dir + "\\replies", std::ios::binary | std::ios::ate);
    m_offset = replies ? static_cast<long long>(replies.tellg()) : 0;
    return true;
}

bool CWineSim::Command(const std::string& line, std::vector<std::string>* pOut, int timeoutMs)
{
    {
        std::ofstream commands(m_dir + "\\commands", std::ios::binary | std::ios::app);
        commands << line << '\n';
        if (!commands.flush())
            return false;
    }
    const ULONGLONG deadline = ::GetTickCount64() + static_cast<ULONGLONG>(timeoutMs);
    for (;;) {
        std::ifstream replies(m_dir + "\\replies", std::ios::binary);
        if (replies) {
            replies.seekg(m_offset);
            std::string chunk((std::istreambuf_iterator<char>(replies)), std::istreambuf_iterator<char>());
            m_offset += static_cast<long long>(chunk.size());
            m_pending += chunk;
        }
        for (size_t end; (end = m_pending.find('\n')) != std::string::npos;) {
            const std::string answer = m_pending.substr(0, end);
            m_pending.erase(0, end + 1);
            if (answer == "OK")
                return true;
            if (answer.rfind("ERR", 0) == 0)
                return false;
            if (pOut != nullptr)
                pOut->push_back(answer);
        }
        if (::GetTickCount64() >= deadline)
            return false;
        ::Sleep(5);
    }
}

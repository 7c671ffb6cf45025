#pragma once

#include <string>
#include <vector>

// The virtual panel as seen from a Windows test under Wine. It runs on the Linux side
// (tests/windows/run-wine-tests.sh starts it), reads its commands from a file that this
// side appends to and writes its answers to another, both in the folder named by
// $KOVA_WINE_SIM_DIR (a Wine path such as Z:\tmp\...). Its pseudo-terminal sits behind the
// symlink that Wine's COM1 points at; "replug" re-points it at a fresh one.
class CWineSim {
public:
    // False when the environment names no simulator folder.
    bool Attach(std::string* pError);

    // Sends one command line and waits for its OK or ERR. Returns true on OK; false on ERR or
    // when no answer came within timeoutMs. The lines before the answer go to *pOut.
    bool Command(const std::string& line, std::vector<std::string>* pOut = nullptr, int timeoutMs = 10000);

    // The block-check variant the simulator was started with (--variant), from
    // $KOVA_WINE_VARIANT.
    int Variant() const { return m_nVariant; }

private:
    std::string m_dir;
    std::string m_pending; // answer text read but not yet split into lines
    long long m_offset = 0;
    int m_nVariant = 1;
};

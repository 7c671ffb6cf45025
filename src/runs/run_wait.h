#pragma once

#include "panel_driver.h"
#ifdef _WIN32
#include "input_thread.h"
#endif

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>

// The wait of a run that talks to an operator: for the panel's next report, a yes or no typed on
// the terminal, a stop signal or a lost link, until a deadline on the driver's clock. Every
// report the driver hears, alone or carried in a reply to a telegram, is queued here in the order
// it came, so none is lost between two waits. Where there is no descriptor to sleep on (a test's
// scripted device) the wait hands its idle time to the idler, which a test uses to move its
// clock and its panel on. It blocks in the runs' one wait (wait_set.h) on the port, the stop and,
// when an answer is asked for, standard input.
// The longest single sleep of a wait: it wakes for its ends anyway, and the driver's clock is
// looked at again after it.
inline constexpr int kRunLongestIdleMs = 60 * 1000;

class CRunWait final : private IPanelDriverObserver {
public:
    struct CResult {
        enum class Kind { Event, Deadline, Stop, Lost, Answer };
        Kind kind = Kind::Deadline;
        CPanelEvent event;
        bool bYes = false; // for Answer
        int nSignal = 0;   // for Stop
    };
    // Called with the longest time the wait may idle, in ms.
    using Idler = std::function<void(int nMs)>;

    // bTerminal: answers may be typed on standard input.
    CRunWait(CPanelDriver& driver, bool bTerminal, Idler idler = {});
    ~CRunWait() override;
    CRunWait(const CRunWait&) = delete;
    CRunWait& operator=(const CRunWait&) = delete;

    // The next of these: a report heard by nDeadlineMs (one heard later stays for the next
    // wait), an answer typed (with bAnswers), a stop signal, the link lost, the deadline.
    CResult Until(int64_t nDeadlineMs, bool bAnswers = false);
    // Idles until nUntilMs, or a stop signal (its number; 0 when the time passed).
    int Pause(int64_t nUntilMs);
    // Throws away the reports heard so far, and what was typed on the terminal and not yet read,
    // so each item hears only its own.
    void Forget();
    // Throws away only what was typed: an answer typed before its question is no answer to it.
    void ForgetTyped();

private:
    void OnPanelEvent(const CPanelEvent& event) override { m_events.push_back(event); }
    void Idle(int nMs, bool bStdin, CResult* pAnswer);
    // The first y or n in what was typed, as the answer.
    static bool TakeAnswer(const QByteArray& typed, CResult* pAnswer);

    CPanelDriver& m_driver;
    bool m_bTerminal;
    bool m_bStdinOpen = true;
    Idler m_idler;
    std::deque<CPanelEvent> m_events;
#ifdef _WIN32
    // The console, read on a thread of its own from the first question on, and the event it sets.
    std::unique_ptr<CInputThread> m_pInput;
    void* m_hTyped = nullptr;
#endif
};

// A careful operator in front of the virtual panel, for runs that lead a person through the
// panel: it watches the panel's own LEDs and LCD and works the keys and selectors as asked.
// It presses the key under a single lit LED, turns a selector through its twelve positions when
// the LCD asks for it and answers "KEY 1 = YES" questions with key 1. Faults make it play a
// broken panel: a dead key, two crossed keys, a bouncing key, a key stuck down, a selector
// position that never reports, and "no" answers.
#pragma once

#include "engine.h"

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kova_sim {

class Operator {
public:
    static constexpr std::int64_t kReactMs = 150;   // from what it sees to its hand moving
    static constexpr std::int64_t kHoldMs = 100;    // a key held down
    static constexpr std::int64_t kBounceMs = 15;   // the gaps of a bouncing contact
    static constexpr std::int64_t kTurnStepMs = 60; // one selector detent to the next

    // Switched on and off; off, it forgets what it planned to do.
    void setOn(bool on);
    bool on() const { return m_on; }

    // Adds a fault from its words ("crossed-keys 3 4"); empty when taken, else why not.
    std::string addFault(const std::vector<std::string_view>& words);
    void clearFaults();
    // One line naming what it does: "on, faults: dead-key 5".
    std::string describe() const;

    // Looks at the panel and does whatever is due by now.
    void step(Engine& engine, std::int64_t now);
    // The next moment step() has something to do; nullopt when only a change on the panel can.
    std::optional<std::int64_t> nextDeadline() const;

    static const char* faultHelp();

private:
    enum class Kind { Press, Release, Select, PressLit };
    struct Action {
        std::int64_t at;
        Kind kind;
        int a = 0;        // the key, or the selector
        int b = 0;        // the position
        std::string leds; // for PressLit: the LEDs it saw, still so when the hand arrives
    };

    void plan(Action action);
    void look(const Engine& engine, std::int64_t now);
    void act(Engine& engine, const Action& action, std::int64_t now);
    void pressAndRelease(int key, std::int64_t now);

    bool m_on = false;
    std::deque<Action> m_plan; // kept in time order
    std::string m_seenLeds;
    std::string m_seenLcd;
    int m_questions = 0;

    // Faults: 0 for none.
    std::vector<int> m_deadKeys;
    int m_crossedA = 0, m_crossedB = 0;
    std::vector<int> m_bouncingKeys;
    int m_stuckKey = 0;
    bool m_stuckHeld = false;                        // the stuck key is down on the panel
    std::vector<std::pair<int, int>> m_selectorGaps; // selector, position
    bool m_answerNo = false;
    int m_answerNoOnly = 0; // answers no to this question only (1 = the first); 0 to every one
};

} // namespace kova_sim

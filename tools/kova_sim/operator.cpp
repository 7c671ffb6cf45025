#include "operator.h"

#include <algorithm>
#include <charconv>

namespace kova_sim {

namespace {

bool number(std::string_view s, int lo, int hi, int& out)
{
    int v = 0;
    const auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc{} || p != s.data() + s.size() || v < lo || v > hi)
        return false;
    out = v;
    return true;
}

std::string trimmed(std::string s)
{
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    return s;
}

bool has(const std::vector<int>& v, int n)
{
    return std::find(v.begin(), v.end(), n) != v.end();
}

} // namespace

const char* Operator::faultHelp()
{
    return "dead-key N | crossed-keys A B | bouncing-key N | stuck-key N | selector-gap S P | answer-no [Q]";
}

void Operator::setOn(bool on)
{
    m_on = on;
    m_plan.clear();
    // Seen afresh: what is on the panel now is a request to act on.
    m_seenLeds.clear();
    m_seenLcd.clear();
    m_stuckHeld = false;
}

std::string Operator::addFault(const std::vector<std::string_view>& w)
{
    const std::string usage = std::string("usage: operator fault ") + faultHelp();
    int a = 0;
    int b = 0;
    if (w.empty())
        return usage;
    const std::string_view name = w[0];
    if (name == "dead-key" || name == "bouncing-key" || name == "stuck-key") {
        if (w.size() != 2 || !number(w[1], 1, 12, a))
            return usage;
        if (name == "dead-key")
            m_deadKeys.push_back(a);
        else if (name == "bouncing-key")
            m_bouncingKeys.push_back(a);
        else
            m_stuckKey = a;
        m_stuckHeld = false;
        return {};
    }
    if (name == "crossed-keys") {
        if (w.size() != 3 || !number(w[1], 1, 12, a) || !number(w[2], 1, 12, b) || a == b)
            return usage;
        m_crossedA = a;
        m_crossedB = b;
        return {};
    }
    if (name == "selector-gap") {
        if (w.size() != 3 || !number(w[1], 1, 2, a) || !number(w[2], 1, 12, b))
            return usage;
        m_selectorGaps.emplace_back(a, b);
        return {};
    }
    if (name == "answer-no") {
        if (w.size() > 2 || (w.size() == 2 && !number(w[1], 1, 1000, a)))
            return usage;
        m_answerNo = true;
        m_answerNoOnly = a;
        return {};
    }
    return usage;
}

void Operator::clearFaults()
{
    m_deadKeys.clear();
    m_crossedA = m_crossedB = 0;
    m_bouncingKeys.clear();
    m_stuckKey = 0;
    m_selectorGaps.clear();
    m_answerNo = false;
    m_answerNoOnly = 0;
}

std::string Operator::describe() const
{
    std::string faults;
    const auto add = [&faults](const std::string& f) { faults += (faults.empty() ? "" : ", ") + f; };
    for (int k : m_deadKeys)
        add("dead-key " + std::to_string(k));
    if (m_crossedA != 0)
        add("crossed-keys " + std::to_string(m_crossedA) + " " + std::to_string(m_crossedB));
    for (int k : m_bouncingKeys)
        add("bouncing-key " + std::to_string(k));
    if (m_stuckKey != 0)
        add("stuck-key " + std::to_string(m_stuckKey));
    for (const auto& [s, p] : m_selectorGaps)
        add("selector-gap " + std::to_string(s) + " " + std::to_string(p));
    if (m_answerNo)
        add(m_answerNoOnly != 0 ? "answer-no " + std::to_string(m_answerNoOnly) : std::string("answer-no"));
    return std::string(m_on ? "on" : "off") + ", faults: " + (faults.empty() ? "none" : faults);
}

void Operator::plan(Action action)
{
    const auto later = std::upper_bound(m_plan.begin(), m_plan.end(), action.at,
                                        [](std::int64_t at, const Action& a) { return at < a.at; });
    m_plan.insert(later, std::move(action));
}

void Operator::pressAndRelease(int key, std::int64_t now)
{
    plan({now, Kind::Press, key, 0, {}});
    if (has(m_bouncingKeys, key)) {
        // The contact opens and closes again before it settles: two presses well inside 50 ms.
        plan({now + kBounceMs, Kind::Release, key, 0, {}});
        plan({now + 2 * kBounceMs, Kind::Press, key, 0, {}});
    }
    plan({now + kHoldMs + (has(m_bouncingKeys, key) ? 2 * kBounceMs : 0), Kind::Release, key, 0, {}});
}

void Operator::look(const Engine& engine, std::int64_t now)
{
    const Panel& panel = engine.panel();
    const std::string leds = panel.ledString();
    if (leds != m_seenLeds) {
        m_seenLeds = leds;
        if (std::count(leds.begin(), leds.end(), '0') == Panel::kKeys - 1 && leds.find('1') != std::string::npos)
            plan({now + kReactMs, Kind::PressLit, static_cast<int>(leds.find('1')) + 1, 0, leds});
    }
    // The LCD is read once all eight rows of a text are there.
    if (panel.nextRow() >= 0)
        return;
    std::string lcd;
    for (int r = 0; r < Panel::kRows; ++r)
        lcd += panel.rowText(r) + '\n';
    if (lcd == m_seenLcd)
        return;
    m_seenLcd = lcd;
    const std::string row3 = trimmed(panel.rowText(2));
    for (int s = 1; s <= 2; ++s) {
        if (row3 != "TURN SELECTOR " + std::to_string(s))
            continue;
        // Once round from where it stands, so every position passes and it ends where it began.
        const int from = s == 1 ? panel.selector1() : panel.selector2();
        for (int i = 1; i <= 12; ++i)
            plan({now + kReactMs + i * kTurnStepMs, Kind::Select, s, (from - 1 + i) % 12 + 1, {}});
    }
    if (trimmed(panel.rowText(5)) == "KEY 1 = YES") {
        ++m_questions;
        const bool no = m_answerNo && (m_answerNoOnly == 0 || m_answerNoOnly == m_questions);
        pressAndRelease(no ? 2 : 1, now + kReactMs);
    }
}

void Operator::act(Engine& engine, const Action& action, std::int64_t now)
{
    switch (action.kind) {
    case Kind::PressLit:
        // A hand on its way stops when the picture changed meanwhile (all twelve coming on).
        if (engine.panel().ledString() == action.leds)
            pressAndRelease(action.a, now);
        return;
    case Kind::Select:
        if (std::find(m_selectorGaps.begin(), m_selectorGaps.end(), std::pair{action.a, action.b})
            == m_selectorGaps.end())
            engine.setSelector(action.a, action.b, now);
        return;
    case Kind::Press:
    case Kind::Release: break;
    }
    int key = action.a;
    if (has(m_deadKeys, key))
        return;
    if (key == m_crossedA || key == m_crossedB)
        key = key == m_crossedA ? m_crossedB : m_crossedA;
    if (action.kind == Kind::Press)
        engine.pressKey(key, now);
    else if (key != m_stuckKey)
        engine.releaseKey(now);
}

void Operator::step(Engine& engine, std::int64_t now)
{
    if (!m_on)
        return;
    look(engine, now);
    while (!m_plan.empty() && m_plan.front().at <= now) {
        const Action action = m_plan.front();
        m_plan.pop_front();
        act(engine, action, now);
    }
    // A key stuck down is down from the moment the fault is there, before anyone listens: it
    // sends no report block, but every reply of the panel carries it as the key held.
    if (m_stuckKey != 0 && !m_stuckHeld) {
        engine.holdKey(m_stuckKey);
        m_stuckHeld = true;
    }
}

std::optional<std::int64_t> Operator::nextDeadline() const
{
    if (!m_on)
        return std::nullopt;
    std::optional<std::int64_t> next;
    if (!m_plan.empty())
        next = m_plan.front().at;
    if (m_stuckKey != 0 && !m_stuckHeld)
        next = 0;
    return next;
}

} // namespace kova_sim

#include "commands.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>

namespace kova_sim {

namespace {

std::vector<std::string_view> split(std::string_view line)
{
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r'))
            ++i;
        std::size_t j = i;
        while (j < line.size() && line[j] != ' ' && line[j] != '\t' && line[j] != '\r')
            ++j;
        if (j > i)
            words.push_back(line.substr(i, j - i));
        i = j;
    }
    return words;
}

bool parseInt(std::string_view s, int lo, int hi, int& out)
{
    int v = 0;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc{} || p != s.data() + s.size() || v < lo || v > hi)
        return false;
    out = v;
    return true;
}

bool parseDouble(std::string_view s, double& out)
{
    // from_chars for double is missing from some of the standard libraries we build with.
    std::string copy(s);
    char* end = nullptr;
    out = std::strtod(copy.c_str(), &end);
    return !copy.empty() && end == copy.c_str() + copy.size();
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

CommandResult ok()
{
    return {{"OK"}, CommandResult::Control::None, 0};
}
CommandResult err(const std::string& why)
{
    return {{"ERR " + why}, CommandResult::Control::None, 0};
}

const char* modeName(AcceptMode m)
{
    switch (m) {
    case AcceptMode::V0: return "0";
    case AcceptMode::V1: return "1";
    case AcceptMode::Any: return "any";
    }
    return "?";
}

const char* kHelp[] = {
    "press N | release | sel1 N | sel2 N        (N = 1..12)",
    "send HEX..   one block with that payload     raw HEX..   bytes as they are",
    "fault NAME on|off   (silent nak-stx nak-block garbage stall overlong close)",
    "fault random P SEED | fault random off | faults off",
    "dump | history | clear | unplug | replug | wait MS | quit",
    "operator on|off | operator fault NAME [ARGS] | operator faults off | operator",
};

} // namespace

bool parseHex(std::string_view text, Bytes& out)
{
    out.clear();
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == ',') {
            if (high >= 0)
                return false; // half a byte
            continue;
        }
        const int d = hexDigit(c);
        if (d < 0)
            return false;
        if (high < 0) {
            high = d;
        } else {
            out.push_back(static_cast<std::uint8_t>(high << 4 | d));
            high = -1;
        }
    }
    return high < 0;
}

std::string jsonString(std::string_view s)
{
    std::string out = "\"";
    for (char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c < 0x20 || c >= 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04X", c);
            out += buf;
        } else {
            out += ch;
        }
    }
    return out + "\"";
}

std::string stateLine(const Engine& e)
{
    const Panel& p = e.panel();
    const Counters& c = e.counters();
    std::string s = "STATE {";
    s += "\"leds\":" + jsonString(p.ledString());
    s += ",\"key\":" + std::to_string(p.key());
    s += ",\"sel1\":" + std::to_string(p.selector1());
    s += ",\"sel2\":" + std::to_string(p.selector2());
    s += ",\"variant\":";
    s += e.lastVariant() == Variant::None ? "null" : std::to_string(static_cast<int>(e.lastVariant()));
    s += ",\"accept\":" + jsonString(modeName(e.acceptMode()));
    std::string lcd, hex;
    for (int r = 0; r < Panel::kRows; ++r) {
        lcd += (r ? "," : "") + jsonString(p.rowText(r));
        hex += (r ? "," : "") + jsonString(p.rowHex(r));
    }
    s += ",\"lcd\":[" + lcd + "],\"lcd_hex\":[" + hex + "]";
    s += ",\"counters\":{\"received\":" + std::to_string(c.received) + ",\"sent\":" + std::to_string(c.sent)
         + ",\"refused\":" + std::to_string(c.refused) + ",\"rx_aborted\":" + std::to_string(c.rxAborted)
         + ",\"tx_failed\":" + std::to_string(c.txFailed) + ",\"collisions\":" + std::to_string(c.collisions) + "}";
    s += ",\"queued\":" + std::to_string(e.queued());
    s += ",\"line\":" + jsonString(e.lineUp() ? "up" : "down");
    std::string faults;
    for (int i = 0; i < static_cast<int>(Fault::Count); ++i)
        if (e.fault(static_cast<Fault>(i)))
            faults += (faults.empty() ? "" : ",") + jsonString(faultName(static_cast<Fault>(i)));
    if (e.randomFaultsOn())
        faults += (faults.empty() ? "" : ",") + jsonString("random");
    s += ",\"faults\":[" + faults + "]}";
    return s;
}

std::string historyLine(const Engine& e)
{
    std::string s = "HISTORY";
    for (const Bytes& t : e.history())
        s += " " + (t.empty() ? std::string("-") : hexString(t, false));
    return s;
}

CommandResult runCommand(Engine& e, std::string_view line, std::int64_t now, Operator* pOperator)
{
    using Control = CommandResult::Control;
    const auto w = split(line);
    if (w.empty() || w[0].front() == '#')
        return {}; // blank lines and comments in scripts

    const std::string_view cmd = w[0];
    const std::size_t argc = w.size() - 1;
    int n = 0;

    if (cmd == "press") {
        if (argc != 1 || !parseInt(w[1], 1, Panel::kKeys, n))
            return err("usage: press 1..12");
        e.pressKey(n, now);
        return ok();
    }
    if (cmd == "release") {
        e.releaseKey(now);
        return ok();
    }
    if (cmd == "sel1" || cmd == "sel2") {
        if (argc != 1 || !parseInt(w[1], 1, 12, n))
            return err("usage: " + std::string(cmd) + " 1..12");
        e.setSelector(cmd == "sel1" ? 1 : 2, n, now);
        return ok();
    }
    if (cmd == "send" || cmd == "raw") {
        Bytes bytes;
        const std::size_t start = line.find(cmd) + cmd.size();
        if (!parseHex(line.substr(start), bytes))
            return err("bad hex: give bytes as hex pairs, e.g. " + std::string(cmd) + " 32 35 30");
        if (!e.lineUp())
            return err("line unplugged");
        if (cmd == "send") {
            if (e.fault(Fault::Silent))
                return err("fault silent is on");
            if (e.queued() >= Engine::kMaxQueue)
                return err("send queue full");
            e.queueBlock(std::move(bytes), now);
        } else {
            if (bytes.empty())
                return err("usage: raw HEX..");
            e.sendRaw(bytes, now);
        }
        return ok();
    }
    if (cmd == "fault") {
        if (argc >= 1 && w[1] == "random") {
            if (argc == 2 && w[2] == "off") {
                e.setRandomFaults(0.0, 0);
                return ok();
            }
            double p = 0;
            int seed = 0;
            if (argc != 3 || !parseDouble(w[2], p) || p < 0.0 || p > 1.0 || !parseInt(w[3], 0, 0x7FFFFFFF, seed))
                return err("usage: fault random P SEED (P from 0 to 1) | fault random off");
            e.setRandomFaults(p, static_cast<std::uint32_t>(seed));
            return ok();
        }
        const auto f = argc == 2 ? faultFromName(w[1]) : std::nullopt;
        if (!f || (w[2] != "on" && w[2] != "off"))
            return err("usage: fault silent|nak-stx|nak-block|garbage|stall|overlong|close on|off");
        const bool on = w[2] == "on";
        const bool was = e.fault(*f);
        e.setFault(*f, on, now);
        if (*f == Fault::Close && on && e.lineUp())
            return {{}, Control::Unplug, 0};
        if (*f == Fault::Close && !on && was && !e.lineUp())
            return {{}, Control::Replug, 0};
        return ok();
    }
    if (cmd == "random") { // shorthand kept for scripts written as "random P SEED"
        std::string rewritten = "fault " + std::string(line.substr(line.find(cmd)));
        return runCommand(e, rewritten, now);
    }
    if (cmd == "faults") {
        if (argc != 1 || w[1] != "off")
            return err("usage: faults off");
        const bool closed = e.fault(Fault::Close) && !e.lineUp();
        e.clearFaults(now);
        if (closed)
            return {{}, Control::Replug, 0};
        return ok();
    }
    if (cmd == "operator") {
        if (pOperator == nullptr)
            return err("no operator in this panel");
        if (argc == 0)
            return {{"OPERATOR " + pOperator->describe(), "OK"}, Control::None, 0};
        if (argc == 1 && (w[1] == "on" || w[1] == "off")) {
            pOperator->setOn(w[1] == "on");
            return ok();
        }
        if (argc == 2 && w[1] == "faults" && w[2] == "off") {
            pOperator->clearFaults();
            return ok();
        }
        if (argc >= 2 && w[1] == "fault") {
            const std::string why = pOperator->addFault({w.begin() + 2, w.end()});
            return why.empty() ? ok() : err(why);
        }
        return err("usage: operator on|off | operator fault NAME [ARGS] | operator faults off");
    }
    if (cmd == "dump")
        return {{stateLine(e), "OK"}, Control::None, 0};
    if (cmd == "history")
        return {{historyLine(e), "OK"}, Control::None, 0};
    if (cmd == "clear") {
        e.clearHistory();
        return ok();
    }
    if (cmd == "unplug")
        return {{}, Control::Unplug, 0};
    if (cmd == "replug")
        return {{}, Control::Replug, 0};
    if (cmd == "wait") {
        if (argc != 1 || !parseInt(w[1], 0, 3600000, n))
            return err("usage: wait MS (0..3600000)");
        return {{}, Control::Wait, n};
    }
    if (cmd == "quit" || cmd == "exit")
        return {{"OK"}, Control::Quit, 0};
    if (cmd == "help") {
        CommandResult r;
        for (const char* h : kHelp)
            r.lines.push_back(std::string("# ") + h);
        r.lines.push_back("OK");
        return r;
    }
    return err("unknown command '" + std::string(cmd) + "' (try help)");
}

} // namespace kova_sim

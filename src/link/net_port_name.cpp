#include "net_port_name.h"

#include <algorithm>
#include <cctype>

namespace {

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

bool Fail(std::string* pWhy, const std::string& why)
{
    if (pWhy != nullptr)
        *pWhy = why;
    return false;
}

// pyserial's options that mean nothing here: the client never needs them.
bool KnownOption(const std::string& option)
{
    const std::string key = option.substr(0, option.find('='));
    return key == "ign_set_control" || key == "poll_modem" || key == "timeout" || key == "logging";
}

} // namespace

bool IsNetPortName(const std::string& name)
{
    return name.find("://") != std::string::npos;
}

bool ParseNetPortName(const std::string& name, CNetPortName* pName, std::string* pWhy)
{
    const size_t schemeEnd = name.find("://");
    if (schemeEnd == std::string::npos)
        return Fail(pWhy, "not a URL (rfc2217://HOST:PORT or socket://HOST:PORT)");
    const std::string scheme = Lower(name.substr(0, schemeEnd));
    CNetPortName result;
    if (scheme == "rfc2217")
        result.kind = CNetPortName::Kind::Rfc2217;
    else if (scheme == "socket")
        result.kind = CNetPortName::Kind::Raw;
    else
        return Fail(pWhy, "unknown scheme '" + name.substr(0, schemeEnd) + "' (rfc2217:// or socket://)");

    std::string rest = name.substr(schemeEnd + 3);
    if (const size_t query = rest.find('?'); query != std::string::npos) {
        std::string options = rest.substr(query + 1);
        rest.resize(query);
        size_t start = 0;
        while (start <= options.size()) {
            const size_t end = std::min(options.find('&', start), options.size());
            const std::string option = options.substr(start, end - start);
            if (!option.empty() && !KnownOption(option))
                return Fail(pWhy, "unknown option '" + option + "'");
            start = end + 1;
        }
    }
    if (!rest.empty() && rest.back() == '/')
        rest.pop_back();
    if (rest.empty())
        return Fail(pWhy, "no host");

    std::string portText;
    if (rest.front() == '[') {
        const size_t close = rest.find(']');
        if (close == std::string::npos)
            return Fail(pWhy, "'[' without ']' around the IPv6 address");
        result.strHost = rest.substr(1, close - 1);
        if (result.strHost.empty() || result.strHost.find_first_not_of("0123456789abcdefABCDEF:.%") != std::string::npos
            || result.strHost.find(':') == std::string::npos)
            return Fail(pWhy, "'" + result.strHost + "' in brackets is no IPv6 address");
        const std::string after = rest.substr(close + 1);
        if (after.empty() || after.front() != ':')
            return Fail(pWhy, "no port number after the host (HOST:PORT)");
        portText = after.substr(1);
    } else {
        const size_t colon = rest.rfind(':');
        if (colon == std::string::npos)
            return Fail(pWhy, "no port number after the host (HOST:PORT)");
        result.strHost = rest.substr(0, colon);
        portText = rest.substr(colon + 1);
        if (result.strHost.empty())
            return Fail(pWhy, "no host");
        if (result.strHost.find(':') != std::string::npos)
            return Fail(pWhy, "an IPv6 address goes in brackets ([" + result.strHost + "]:PORT)");
        const bool bHostOk = std::all_of(result.strHost.begin(), result.strHost.end(), [](unsigned char c) {
            return std::isalnum(c) != 0 || c == '.' || c == '-' || c == '_';
        });
        if (!bHostOk)
            return Fail(pWhy, "'" + result.strHost + "' is no host name");
    }
    if (portText.empty())
        return Fail(pWhy, "no port number after the host (HOST:PORT)");
    if (portText.size() > 5 || portText.find_first_not_of("0123456789") != std::string::npos)
        return Fail(pWhy, "port '" + portText + "' is not a number from 1 to 65535");
    const long port = std::stol(portText);
    if (port < 1 || port > 65535)
        return Fail(pWhy, "port '" + portText + "' is not a number from 1 to 65535");
    result.nPort = static_cast<uint16_t>(port);
    *pName = result;
    return true;
}

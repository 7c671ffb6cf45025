#pragma once

// Sets or unsets an environment variable for one scope and puts the old value back. Plain C++,
// so that the link's tests use it wherever they build, Windows included.
#include <cstdlib>
#include <optional>
#include <string>

class CScopedEnv {
public:
    // A null pszValue unsets the variable for the scope.
    CScopedEnv(const char* pszName, const char* pszValue) : m_name(pszName)
    {
        if (const char* pszOld = std::getenv(pszName))
            m_old = pszOld;
        Set(pszName, pszValue);
    }
    ~CScopedEnv() { Set(m_name.c_str(), m_old ? m_old->c_str() : nullptr); }
    CScopedEnv(const CScopedEnv&) = delete;
    CScopedEnv& operator=(const CScopedEnv&) = delete;

private:
    static void Set(const char* pszName, const char* pszValue)
    {
#ifdef _WIN32
        ::_putenv_s(pszName, pszValue != nullptr ? pszValue : ""); // an empty value removes it there
#else
        if (pszValue != nullptr)
            ::setenv(pszName, pszValue, 1);
        else
            ::unsetenv(pszName);
#endif
    }

    std::string m_name;
    std::optional<std::string> m_old;
};

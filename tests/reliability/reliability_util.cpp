#include "reliability_util.h"

#include <cstdio>
#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

bool WaitForPath(const std::string& path, int timeoutMs)
{
    const auto start = SteadyClock::now();
    struct stat st {};
    while (::stat(path.c_str(), &st) != 0) {
        if (MsSince(start) > timeoutMs)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

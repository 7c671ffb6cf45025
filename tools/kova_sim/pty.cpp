#include "pty.h"

#include <sys/stat.h>

namespace kova_sim {

bool placeLink(const std::string& path, const std::string& target, std::string& err)
{
    struct stat st{};
    if (::lstat(path.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        err = path + " exists and is not a symbolic link; not replacing it";
        return false;
    }
    // A new link under a temporary name renamed over the old one: the path never vanishes for a
    // program that is about to open it, and a stale link from an earlier run is replaced.
    const std::string tmp = path + ".new" + std::to_string(::getpid());
    ::unlink(tmp.c_str());
    if (::symlink(target.c_str(), tmp.c_str()) != 0 || ::rename(tmp.c_str(), path.c_str()) != 0) {
        err = "cannot create " + path + ": " + std::strerror(errno);
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

void removeLink(const std::string& path, const std::string& target)
{
    char buf[4096];
    const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf - 1);
    if (n > 0 && std::string(buf, static_cast<std::size_t>(n)) == target)
        ::unlink(path.c_str()); // only our own link; another simulator may have taken the path over
}

} // namespace kova_sim

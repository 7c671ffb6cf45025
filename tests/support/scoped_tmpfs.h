#pragma once

// A small tmpfs mounted on a folder for one scope, for what only a real file system shows: a
// full disk (every byte taken at once) and a read-only one (which root cannot write either).
// Mounting needs root; without it Mounted() is false and the test says it skipped.
#include <string>

#include <sys/mount.h>
#include <sys/stat.h>

class CScopedTmpfs {
public:
    // Mounts a tmpfs of nKiB KiB on strFolder (made when missing); bReadOnly mounts it read-only.
    CScopedTmpfs(const std::string& strFolder, int nKiB, bool bReadOnly = false) : m_folder(strFolder)
    {
        ::mkdir(strFolder.c_str(), 0755);
        const std::string options = "size=" + std::to_string(nKiB) + "k,mode=0755";
        m_bMounted = ::mount("tmpfs", strFolder.c_str(), "tmpfs", bReadOnly ? MS_RDONLY : 0, options.c_str()) == 0;
    }
    ~CScopedTmpfs()
    {
        if (m_bMounted)
            ::umount2(m_folder.c_str(), MNT_DETACH);
    }
    CScopedTmpfs(const CScopedTmpfs&) = delete;
    CScopedTmpfs& operator=(const CScopedTmpfs&) = delete;

    bool Mounted() const { return m_bMounted; }

private:
    std::string m_folder;
    bool m_bMounted = false;
};

// Text files written beside a save file: temporary file first, rename when complete.
#include "tools/common/text_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace text_file {

bool write_temporary(const std::string &path, const std::string &text, std::string &temp, std::string &error)
{
    static unsigned serial = 0;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; attempt++) {
        temp = path + ".tmp." + std::to_string(getpid()) + "." + std::to_string(serial++);
        fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        error = path + ": " + std::strerror(errno);
        temp.clear();
        return false;
    }
    const char *p = text.data();
    std::size_t left = text.size();
    bool ok = true;
    while (ok && left > 0) {
        const ssize_t put = write(fd, p, left);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0) {
            ok = false;
            break;
        }
        p += put;
        left -= static_cast<std::size_t>(put);
    }
    const int saved = errno;
    ok = (fsync(fd) == 0) && ok;
    ok = (close(fd) == 0) && ok;
    if (!ok) {
        error = path + ": cannot write: " + std::strerror(saved ? saved : EIO);
        unlink(temp.c_str());
        temp.clear();
        return false;
    }
    return true;
}

bool commit(const std::string &temp, const std::string &path, std::string &error)
{
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        error = path + ": " + std::strerror(errno);
        unlink(temp.c_str());
        return false;
    }
    return true;
}

void discard(const std::string &temp)
{
    if (!temp.empty())
        unlink(temp.c_str());
}

bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

bool read_all(const std::string &path, std::string &text, std::string &error)
{
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    char buffer[65536];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, f)) > 0)
        text.append(buffer, got);
    const bool failed = std::ferror(f) != 0;
    const int saved = errno;
    std::fclose(f);
    if (failed) {
        error = path + ": " + (saved ? std::strerror(saved) : "read error");
        return false;
    }
    return true;
}

}  // namespace text_file

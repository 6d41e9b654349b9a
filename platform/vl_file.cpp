// File, stream and pipe wrappers, the file-size query and the temporary-name generator.
// The wrappers pass their arguments straight through and return the platform's result, so
// failures surface exactly as the platform reports them (-1 or a null stream, errno set).
#include "platform/vl_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "platform/vl_mem.h"

namespace {

// Length of the fixed prefix of every temporary name.
constexpr int kTempPrefix = 7;

}  // namespace

extern "C" {

char ftemp_string[28] = ".nntmp.XXXXXXXXXXXXXXXXXXXX";
int ftemp_counter = 0;

int vl_fread(void *buf, int size, int count, FILE *stream)
{
    // A negative size or count asks for nothing: taken as unsigned it would be a huge request.
    if (size < 0 || count < 0)
        return 0;
    return static_cast<int>(std::fread(buf, static_cast<size_t>(size), static_cast<size_t>(count), stream));
}

int vl_read(int fd, void *buf, int nbytes)
{
    if (nbytes < 0) {
        errno = EINVAL;
        return -1;
    }
    return static_cast<int>(read(fd, buf, static_cast<size_t>(nbytes)));
}

int vl_write(int fd, const void *buf, int nbytes)
{
    if (nbytes < 0) {
        errno = EINVAL;
        return -1;
    }
    return static_cast<int>(write(fd, buf, static_cast<size_t>(nbytes)));
}

int vl_create(const char *path)
{
    return creat(path, 0644);
}

int vl_open(const char *path)
{
    return open(path, O_RDONLY);
}

int vl_close(int fd)
{
    return close(fd);
}

FILE *vl_fopen(const char *path, const char *mode)
{
    return std::fopen(path, mode);
}

FILE *vl_freopen(const char *path, const char *mode, FILE *stream)
{
    return std::freopen(path, mode, stream);
}

int vl_fclose(FILE *stream)
{
    return std::fclose(stream);
}

void vl_perror(const char *msg)
{
    std::perror(msg);
}

FILE *vl_popen(const char *command, const char *mode)
{
    return popen(command, mode);
}

int vl_pclose(FILE *stream)
{
    return pclose(stream);
}

int vl_file_size(const char *path)
{
    // Open, query, close; -1 when the file cannot be opened or queried, or when its size
    // does not fit the int result.
    const int fd = open(path, O_RDONLY);
    if (fd < 0)
        return -1;
    struct stat st;
    const int queried = fstat(fd, &st);
    close(fd);
    if (queried != 0 || st.st_size < 0 || st.st_size > INT_MAX)
        return -1;
    return static_cast<int>(st.st_size);
}

char *vl_mktemp(void)
{
    // The process id and the counter, after the prefix; the 20 places always hold them.
    char *name = ftemp_string + kTempPrefix;
    std::snprintf(name, sizeof ftemp_string - kTempPrefix, "%d.%d", static_cast<int>(getpid()), ftemp_counter);
    // The counter only grows; it steps in unsigned arithmetic so that it can never overflow.
    ftemp_counter = static_cast<int>(static_cast<unsigned>(ftemp_counter) + 1u);

    // A private copy, so that later names do not change this one.
    const size_t length = std::strlen(ftemp_string) + 1;
    char *copy = static_cast<char *>(vl_alloc_mem(static_cast<int>(length)));
    std::memcpy(copy, ftemp_string, length);
    return copy;
}

}  // extern "C"

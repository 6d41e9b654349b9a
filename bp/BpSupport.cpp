// Support routines of the backprop library: the uniform random sources, the bounded error
// formatter, and the save-file readers that offer a record to one vector at a time.
#include "bp/BpSupport.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Where messages go: the buffer of the module that last started an operation in this thread.
// The readers below report through it without a module argument (their C interface has none),
// so the pointer is kept per thread: a network loading in one thread never writes its message
// into the buffer of a network loading in another.
thread_local char *error_buffer = nullptr;
thread_local int error_size = 0;

// The generator's multiplier, increment and 48-bit mask, as srand48 sets them.
constexpr unsigned long long kRandomA = 0x5DEECE66DULL;
constexpr unsigned long long kRandomC = 0xBULL;
constexpr unsigned long long kRandomMask = (1ULL << 48) - 1;

// A record's values could not be read in full: the file is cut short or damaged.
int short_values(const char *name)
{
    BPset_error("\nDump file ends inside the values of %s.\n", name);
    return -2;
}

// Shared tail of the three readers once the names matched.
int read_matched(int fd, const char *expected, int count_read, int expected_count, float *dest, int *unmatched)
{
    if (count_read != expected_count) {
        BPset_error("\nBad layer size for %s\n", expected);
        return -2;
    }
    if (BPread_exact(fd, dest, expected_count * static_cast<int>(sizeof(float))) != 0)
        return short_values(expected);
    *unmatched = 0;
    return 0;
}

}  // namespace

extern "C" {

void BPfrandom_init(int seed)
{
    srand48(seed);
}

float BPfrandom(float range)
{
    return static_cast<float>(drand48() * range);
}

void BPrandom_init(bp_random *r, int seed)
{
    // srand48 keeps the seed's low 32 bits as the high 32 of the state, 0x330E below them.
    r->x = (static_cast<unsigned long long>(static_cast<unsigned>(seed)) << 16) | 0x330EULL;
}

double BPrandom_next(bp_random *r)
{
    // drand48 steps the state, then makes it the 48 bits of a double's fraction in [1, 2) and
    // subtracts 1: exactly the state over 2^48, which a double holds without rounding.
    r->x = (kRandomA * r->x + kRandomC) & kRandomMask;
    return static_cast<double>(r->x) * 0x1p-48;
}

float BPrandom_float(bp_random *r, float range)
{
    return static_cast<float>(BPrandom_next(r) * range);
}

int BPread_exact(int fd, void *buf, int nbytes)
{
    char *p = static_cast<char *>(buf);
    while (nbytes > 0) {
        const ssize_t got = read(fd, p, static_cast<size_t>(nbytes));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return -1;
        p += got;
        nbytes -= static_cast<int>(got);
    }
    return 0;
}

void BPset_error_buffer(char *buffer, int size)
{
    error_buffer = size > 0 ? buffer : nullptr;
    error_size = size;
}

char *BPget_error_buffer(int *size)
{
    if (size != nullptr)
        *size = error_buffer != nullptr ? error_size : 0;
    return error_buffer;
}

void BPset_error(const char *format, ...)
{
    if (error_buffer == nullptr)
        return;
    va_list args;
    va_start(args, format);
    const int len = std::vsnprintf(error_buffer, static_cast<std::size_t>(error_size), format, args);
    va_end(args);
    // A cut message keeps its closing line break, so that it still reads as one message.
    if (len >= error_size && error_size >= 5)
        std::memcpy(error_buffer + error_size - 5, "...\n", 5);
}

int BPread_string(int fd, char *buffer)
{
    // One read per byte, the NUL included; a name has at most 99 characters.
    for (int i = 0; i < BP_NAME_SIZE; i++) {
        if (BPread_exact(fd, buffer + i, 1) != 0) {
            buffer[i] = '\0';
            return -1;
        }
        if (buffer[i] == '\0')
            return 0;
    }
    buffer[BP_NAME_SIZE - 1] = '\0';
    return -1;
}

int BPread_thresholds(int fd, const char *name_read, const char *expected, int count_read, int expected_count,
                      float *dest, int *unmatched)
{
    if (std::strcmp(name_read, expected) != 0)
        return 0;
    return read_matched(fd, expected, count_read, expected_count, dest, unmatched);
}

int BPread_weights(int fd, const char *layer_read, const char *layer_expected, const char *array_read,
                   const char *array_expected, int count_read, int expected_count, float *dest, int *unmatched)
{
    if (std::strcmp(layer_read, layer_expected) != 0 || std::strcmp(array_read, array_expected) != 0)
        return 0;
    // The message names the layer fed, not the array.
    return read_matched(fd, layer_expected, count_read, expected_count, dest, unmatched);
}

int BPread_feedback_weights(int fd, const char *name_read, const char *expected, int count_read,
                            int expected_count, float *dest, int *unmatched)
{
    if (std::strcmp(name_read, expected) != 0)
        return 0;
    return read_matched(fd, expected, count_read, expected_count, dest, unmatched);
}

}  // extern "C"

/* Support routines of the backprop library: the random source and the save-file record readers. */
#ifndef BP_BPSUPPORT_H
#define BP_BPSUPPORT_H
#ifdef __cplusplus
extern "C" {
#endif

/* Size of a name buffer of the save-file readers: 99 characters and the NUL. */
#define BP_NAME_SIZE 100

/* Seed the platform's 48-bit generator (srand48). */
void BPfrandom_init(int seed);
/* drand48() * range, rounded to float. */
float BPfrandom(float range);

/* A random source of its own, for a network that must not share the process's generator: the
 * 48-bit state of that generator, x' = (0x5DEECE66D * x + 0xB) mod 2^48. It is seeded as srand48
 * seeds and drawn as drand48 draws, so one seed gives the same values from either. */
typedef struct bp_random {
    unsigned long long x; /* the 48-bit state */
} bp_random;
/* Seed as srand48(seed): the seed's 32 bits above 0x330E. */
void BPrandom_init(bp_random *r, int seed);
/* The next value in [0, 1): the state stepped once, over 2^48, as drand48 gives it. */
double BPrandom_next(bp_random *r);
/* BPrandom_next(r) * range, rounded to float, as BPfrandom draws from the process's generator. */
float BPrandom_float(bp_random *r, float range);
/* Read a NUL-terminated name into a 100-byte buffer; 0, or -1 at end of file or without a NUL in 100 bytes. */
int BPread_string(int fd, char *buffer);
/* Offer a layer record to a threshold vector: 0 (not this one, or read), -2 on a bad size or short read. */
int BPread_thresholds(int fd, const char *name_read, const char *expected, int count_read, int expected_count,
                      float *dest, int *unmatched);
/* Offer a connection record to a weight vector: matched on layer name, then array name. */
int BPread_weights(int fd, const char *layer_read, const char *layer_expected, const char *array_read,
                   const char *array_expected, int count_read, int expected_count, float *dest, int *unmatched);
/* Offer a feedback-weight record to a feedback vector. */
int BPread_feedback_weights(int fd, const char *name_read, const char *expected, int count_read,
                            int expected_count, float *dest, int *unmatched);

/* Read exactly nbytes (retrying partial reads); 0, or -1 on end of file or error. */
int BPread_exact(int fd, void *buf, int nbytes);
/* Hand the library the buffer its messages go to (a module's error_string and its size); a
 * module does so whenever it starts an operation that may fail. The buffer is the calling
 * thread's: each thread hands over its own, so that networks working in different threads keep
 * their messages apart. Before a thread hands one over, its messages are dropped. */
void BPset_error_buffer(char *buffer, int size);
/* The calling thread's buffer and its size (null and 0 when none), so that an operation can
 * hand the previous one back when it ends. */
char *BPget_error_buffer(int *size);
/* Format a message into the error buffer; a message too long for it is cut and ends in "...\n". */
void BPset_error(const char *format, ...)
#if defined(__GNUC__) || defined(__clang__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

#ifdef __cplusplus
}
#endif
#endif

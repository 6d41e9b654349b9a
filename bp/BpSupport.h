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
 * module does so whenever it starts an operation that may fail. Before any buffer is handed
 * over, messages are dropped. */
void BPset_error_buffer(char *buffer, int size);
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

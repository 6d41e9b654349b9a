/* File, stream, pipe and temporary-name services. */
#ifndef VL_FILE_H
#define VL_FILE_H
#include <stdio.h>
#ifdef __cplusplus
extern "C" {
#endif

/* The most recent temporary name: ".nntmp." then "pid.counter". */
extern char ftemp_string[28];
/* Number of temporary names generated so far in this process. */
extern int ftemp_counter;

int vl_fread(void *buf, int size, int count, FILE *stream);          /* fread */
int vl_read(int fd, void *buf, int nbytes);                          /* read */
int vl_write(int fd, const void *buf, int nbytes);                   /* write */
int vl_create(const char *path);                                     /* creat, mode 0644 */
int vl_open(const char *path);                                       /* open, O_RDONLY */
int vl_close(int fd);                                                /* close */
FILE *vl_fopen(const char *path, const char *mode);                  /* fopen */
FILE *vl_freopen(const char *path, const char *mode, FILE *stream);  /* freopen */
int vl_fclose(FILE *stream);                                         /* fclose */
void vl_perror(const char *msg);                                     /* perror */
FILE *vl_popen(const char *command, const char *mode);               /* popen */
int vl_pclose(FILE *stream);                                         /* pclose */
int vl_file_size(const char *path);                                  /* size in bytes, -1 if unreadable */
char *vl_mktemp(void);                                               /* new caller-owned temporary name */

#ifdef __cplusplus
}
#endif
#endif

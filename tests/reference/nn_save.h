/* Binary save files of the nn module, and network start-up. */
#ifndef NETWORK_NN_SAVE_H
#define NETWORK_NN_SAVE_H

#include "gen/runtime/bpnet_descriptor.h"
#ifdef __cplusplus
extern "C" {
#endif

/* Write the save file (atomically); 0, or -1 with the message in error_string. */
int nn_dump_network(const char *file);
/* Load thresholds, weights and the step counter from a save file, all or nothing; 0, -1 or -2. */
int nn_load_network(const char *file);
/* As above, printing error_string to standard error on failure. */
void network_dump(const char *file);
void network_load(const char *file);
/* Read and check a save file's header; null (message in error_string) when it cannot be read. */
dump_header *read_header(int fd);
/* Load the record stored as stored_name into black box bb_name; 0, or -2 with a message. */
int load_black_box(int fd, const char *bb_name, const char *stored_name, dump_header *header);
/* Release a header returned by read_header. */
void nn_free_header(dump_header *header);

/* Initialize the module and load save_file when it is not null; any failure ends the process. */
void network_initialize(const char *save_file, int verbose);
/* This network has no delays: does nothing. */
void network_clear_delays(void);

#ifdef __cplusplus
}
#endif
#endif

/* Black-box descriptor and query of the nn module.
 *
 * comms_buffer describes the network (fields 0-19, written at initialization), the black box
 * (fields 20-41) and one layer (fields 42-58, both written by the query); field 59 points at
 * connection_buffer, whose first records describe the queried layer's incoming connections.
 * Every field is an int or a pointer; fields without a name of their own hold fixed values of
 * the descriptor format and are called fieldN after their position. */
#ifndef NETWORK_NN_QUERY_H
#define NETWORK_NN_QUERY_H

#include "gen/runtime/bpnet_descriptor.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Number of connection records in connection_buffer: one slot per connection of the network. */
#define NN_CONNECTION_SLOTS 6

/* The descriptor and its connection records: the host interface every module shares. */
typedef bpnet_descriptor nn_descriptor;
typedef bpnet_connection_record nn_connection_record;

/* The descriptor and its connection table (file-scope, zeroed until written). */
extern nn_descriptor comms_buffer;
extern nn_connection_record connection_buffer[NN_CONNECTION_SLOTS];

/* Write the descriptor's network section (called by nn_init_network). */
void nn_describe_network(void);
/* Describe black box `box` and its layer `layer`; comms_buffer, or null for a bad index. */
nn_descriptor *nn_query_network(int box, int layer);
/* Network-level query: forwards to nn_query_network. */
nn_descriptor *network_query(int box, int layer);

#ifdef __cplusplus
}
#endif
#endif

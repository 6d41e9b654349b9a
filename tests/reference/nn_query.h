/* Black-box descriptor and query of the nn module.
 *
 * comms_buffer describes the network (fields 0-19, written at initialization), the black box
 * (fields 20-41) and one layer (fields 42-58, both written by the query); field 59 points at
 * connection_buffer, whose first records describe the queried layer's incoming connections.
 * Every field is an int or a pointer; fields without a name of their own hold fixed values of
 * the descriptor format and are called fieldN after their position. */
#ifndef NETWORK_NN_QUERY_H
#define NETWORK_NN_QUERY_H
#ifdef __cplusplus
extern "C" {
#endif

/* Number of connection records in connection_buffer: one slot per connection of the network. */
#define NN_CONNECTION_SLOTS 6

/* One incoming connection of the queried layer (19 fields). */
typedef struct nn_connection_record {
    int field0;              /* 0 */
    int field1;              /* 1 */
    int field2;              /* 0 */
    int weight_count;        /* target size x source size */
    int field4;              /* 0 */
    int source_number;       /* -1 for $INPUTS, else the source layer's number */
    const char *source_name; /* "$INPUTS", "nn:H1" or "nn:H2" */
    int source_size;
    int source_dim_x;        /* the source size */
    int source_dim_y;        /* 1 */
    int field10;             /* 0 */
    float *weights;          /* the connection's weight block, row-major, one row per target unit */
    float *weight_steps;     /* the steps applied at the previous weight update */
    int field13;             /* the source size */
    int field14;             /* 1 */
    int field15;             /* the source size */
    int field16;             /* 0 */
    int field17;             /* 0 */
    int field18;             /* 0 */
} nn_connection_record;

/* The black-box descriptor (60 fields). */
typedef struct nn_descriptor {
    /* Network section, written by nn_init_network. */
    const char *description_file;                       /* 0: "nn.varonel" */
    const char *network_name;                           /* 1: "nn" */
    int field2;                                         /* 2: 0 */
    int field3;                                         /* 3: 1 */
    int field4;                                         /* 4: not written */
    int field5;                                         /* 5: not written */
    int unit_count;                                     /* 6: 10 */
    int parameter_count;                                /* 7: 62 */
    void (*set_learning_rate_proc)(float);              /* 8 */
    void (*set_inertia_proc)(float);                    /* 9 */
    float (*get_learning_rate_proc)(void);              /* 10 */
    float (*get_inertia_proc)(void);                    /* 11 */
    void (*set_random_init_seed_proc)(int);             /* 12 */
    void (*set_random_init_range_proc)(float);          /* 13 */
    int (*init_network_proc)(void);                     /* 14 */
    void (*network_forward_proc)(void);                 /* 15 */
    void (*network_learn_proc)(unsigned, void (*)(void)); /* 16 */
    int (*dump_network_proc)(const char *);             /* 17 */
    int (*load_network_proc)(const char *);             /* 18 */
    char *(*error_string_proc)(void);                   /* 19 */
    /* Black-box section, written by the query. */
    int box_number;                                     /* 20: 0 */
    const char *box_name;                               /* 21: "nn" */
    int field22;                                        /* 22: 1 */
    int field23;                                        /* 23: 1 */
    int layer_count;                                    /* 24: 3 */
    int input_size;                                     /* 25: 2 */
    int input_dim_x;                                    /* 26: 2 */
    int input_dim_y;                                    /* 27: 1 */
    int field28;                                        /* 28-31: 0 */
    int field29;
    int field30;
    int field31;
    void (*propagate_forward_proc)(void);               /* 32 */
    void (*calc_grad_proc)(void);                       /* 33 */
    void (*update_weights_proc)(float);                 /* 34 */
    int (*get_backprop_counter_proc)(void);             /* 35 */
    void (*set_backprop_counter_proc)(int);             /* 36 */
    void (*set_target_output_proc)(float *);            /* 37 */
    float *(*get_target_output_proc)(void);             /* 38 */
    float *(*get_output_proc)(void);                    /* 39 */
    void (*set_input_proc)(float *);                    /* 40 */
    float *(*get_input_proc)(void);                     /* 41 */
    /* Layer section, written by the query: layer 0 is nn:Out, 1 is nn:H2, 2 is nn:H1. */
    int layer_number;                                   /* 42 */
    int field43;                                        /* 43: 0 */
    const char *layer_name;                             /* 44 */
    int layer_size;                                     /* 45 */
    int layer_dim_x;                                    /* 46: the layer size */
    int layer_dim_y;                                    /* 47: 1 */
    int field48;                                        /* 48: 0 */
    int field49;                                        /* 49: 0 */
    int field50;                                        /* 50-52: not written */
    int field51;
    int field52;
    float *layer_activations;                           /* 53 */
    float *layer_thresholds;                            /* 54 */
    float *layer_threshold_steps;                       /* 55 */
    float *layer_deltas;                                /* 56 */
    int layer_connection_count;                         /* 57 */
    int field58;                                        /* 58: the layer number */
    /* Written by nn_init_network and never changed. */
    nn_connection_record *connections;                  /* 59: connection_buffer */
} nn_descriptor;

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

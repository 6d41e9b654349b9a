/* The host interface of every network module: the black-box descriptor that network_query
 * returns and the connection records it points at. A host program reads any module (nn, a
 * generated module, a module loaded at run time) through these two types; each module's own
 * header names them after its black box (nn_descriptor, nn_connection_record).
 *
 * comms_buffer describes the network (fields 0-19, written at initialization), the black box
 * (fields 20-41) and one layer (fields 42-58, both written by the query); field 59 points at
 * connection_buffer, whose first records describe the queried layer's incoming connections.
 * Every field is an int or a pointer; fields without a name of their own hold fixed values of
 * the descriptor format and are called fieldN after their position.
 *
 * Besides the descriptor, a generated module exports entry points for blocks of rows, which
 * hosts look up by name (older modules lack them):
 *   int network_forward_rows(int rows, const float *in, float *out, int threads);
 *     forward passes of rows x inputs floats into rows x outputs, each row the bits of one pass;
 *   int network_learn_rows(int rows, const float *in, const float *target, int batch, float *errors);
 *     learning in batches of `batch` rows (1: one presentation per row), each row's error kept;
 *   int network_learn_batch(unsigned iterations, void (*input_fn)(void), int batch);
 *     network_learn with its presentations gathered into batches.
 * Each returns 0, or -1 with the message in the module's error text. */
#ifndef GEN_RUNTIME_BPNET_DESCRIPTOR_H
#define GEN_RUNTIME_BPNET_DESCRIPTOR_H
#ifdef __cplusplus
extern "C" {
#endif

/* Fields of a descriptor and of a connection record. */
#define BPNET_DESCRIPTOR_FIELDS 60
#define BPNET_CONNECTION_FIELDS 19

/* One incoming connection of the queried layer (19 fields). */
typedef struct bpnet_connection_record {
    int field0;              /* 0 */
    int field1;              /* 1 */
    int field2;              /* 0 */
    int weight_count;        /* the connection's weights */
    int field4;              /* 0 */
    int source_number;       /* -1 for $INPUTS, else the source layer's number */
    const char *source_name; /* "$INPUTS" or "NAME:LAYER" */
    int source_size;
    int source_dim_x;
    int source_dim_y;
    int field10;             /* 0 */
    float *weights;          /* the connection's weight block */
    float *weight_steps;     /* the steps applied at the previous weight update */
    int field13;             /* the source size */
    int field14;             /* 1 */
    int field15;             /* the source size */
    int field16;             /* 0 */
    int field17;             /* 0 */
    int field18;             /* 0 */
} bpnet_connection_record;

/* The black-box descriptor (60 fields). */
typedef struct bpnet_descriptor {
    const char *description_file;                       /* 0 */
    const char *network_name;                           /* 1 */
    int field2;                                         /* 2: 0 */
    int field3;                                         /* 3: 1 */
    int field4;                                         /* 4: not written */
    int field5;                                         /* 5: not written */
    int unit_count;                                     /* 6 */
    int parameter_count;                                /* 7 */
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
    int box_number;                                     /* 20: 0 */
    const char *box_name;                               /* 21 */
    int field22;                                        /* 22: 1 */
    int field23;                                        /* 23: 1 */
    int layer_count;                                    /* 24 */
    int input_size;                                     /* 25 */
    int input_dim_x;                                    /* 26 */
    int input_dim_y;                                    /* 27 */
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
    int layer_number;                                   /* 42: 0 is the output layer */
    int field43;                                        /* 43: 0 */
    const char *layer_name;                             /* 44 */
    int layer_size;                                     /* 45 */
    int layer_dim_x;                                    /* 46 */
    int layer_dim_y;                                    /* 47 */
    int field48;                                        /* 48: 0 */
    int field49;                                        /* 49: 0 */
    int field50;                                        /* 50: feedback order (modules with feedback) */
    int field51;                                        /* 51: unit kind: 0 logistic, 1 centred, 2 tanh, 3 linear, 4 quadratic, 5 relu, 6 softmax */
    int field52;                                        /* 52: not written */
    float *layer_activations;                           /* 53 */
    float *layer_thresholds;                            /* 54 */
    float *layer_threshold_steps;                       /* 55 */
    float *layer_deltas;                                /* 56 */
    int layer_connection_count;                         /* 57 */
    int field58;                                        /* 58: the layer number */
    bpnet_connection_record *connections;               /* 59: connection_buffer */
} bpnet_descriptor;

/* Record count and absolute record positions of a save file, as read_header returns them. */
typedef struct {
    int count;
    int *positions;
} dump_header;

/* A module's query: describe black box `box` and its layer `layer` (0 = output layer). */
typedef bpnet_descriptor *(*bpnet_query_fn)(int box, int layer);

#ifdef __cplusplus
}
#endif
#endif

/* A stand-in network module for the tools' refusal tests: a black box "fake" of 3 inputs and
 * one layer of 2 units whose descriptor is written like a real module's, then damaged in the
 * way the environment variable FAKE_DAMAGE names. Every entry point other than network_query
 * and network_initialize aborts the process, so a test sees at once when a tool calls into a
 * module it should have refused.
 *
 * Built three ways: as it is; with FAKE_NO_CALC_ERROR (the black box's fake_calc_error is
 * missing); with FAKE_NO_QUERY (a shared object that is no network module at all). */
#include <stdlib.h>
#include <string.h>

#include "gen/runtime/bpnet_descriptor.h"

#ifdef FAKE_NO_QUERY

int fake_library_version(void);
int fake_library_version(void)
{
    return 1;
}

#else

static bpnet_descriptor descriptor;
static bpnet_connection_record connections[1];
static float storage[64];

/* The damage named by FAKE_DAMAGE, or "" for none. */
static const char *damage(void)
{
    const char *d = getenv("FAKE_DAMAGE");
    return d ? d : "";
}

static int is(const char *name)
{
    return strcmp(damage(), name) == 0;
}

static void stop(void)
{
    abort();
}
static void stop_float(float v)
{
    (void)v;
    abort();
}
static void stop_int(int v)
{
    (void)v;
    abort();
}
static void stop_vector(float *v)
{
    (void)v;
    abort();
}
static float *stop_get_vector(void)
{
    abort();
}
static int stop_get_int(void)
{
    abort();
}
static float stop_get_float(void)
{
    abort();
}
static int stop_init(void)
{
    abort();
}
static void stop_learn(unsigned n, void (*f)(void))
{
    (void)n;
    (void)f;
    abort();
}
static int stop_file(const char *f)
{
    (void)f;
    abort();
}
static char *stop_text(void)
{
    abort();
}
static float *outputs(void)
{
    return storage;
}

/* The names a tool looks up besides the descriptor. */
float BPthreshold = 0.00005f;
void network_ascii_dump(int labelled);
void network_ascii_dump(int labelled)
{
    (void)labelled;
    abort();
}
int network_load_ascii(void);
int network_load_ascii(void)
{
    abort();
}
void network_forward_pdpfa(unsigned n, void (*f)(void), float t);
void network_forward_pdpfa(unsigned n, void (*f)(void), float t)
{
    (void)n;
    (void)f;
    (void)t;
    abort();
}
void network_forward_print(int n, void (*f)(void));
void network_forward_print(int n, void (*f)(void))
{
    (void)n;
    (void)f;
    abort();
}
void network_clear_delays(void);
void network_clear_delays(void)
{
    abort();
}
#ifndef FAKE_NO_CALC_ERROR
float fake_calc_error(void);
float fake_calc_error(void)
{
    abort();
}
#endif

/* Start-up: the network section, as a real module's initialization writes it. */
void network_initialize(const char *save_file, int verbose);
void network_initialize(const char *save_file, int verbose)
{
    bpnet_descriptor *d = &descriptor;
    (void)save_file;
    (void)verbose;
    d->description_file = "fake.toml";
    d->network_name = is("network_name") ? "other" : "fake";
    d->unit_count = is("unit_count") ? 7 : 2;
    d->parameter_count = 10;
    d->set_learning_rate_proc = stop_float;
    d->set_inertia_proc = stop_float;
    d->get_learning_rate_proc = stop_get_float;
    d->get_inertia_proc = stop_get_float;
    d->set_random_init_seed_proc = stop_int;
    d->set_random_init_range_proc = stop_float;
    d->init_network_proc = stop_init;
    d->network_forward_proc = stop;
    d->network_learn_proc = stop_learn;
    d->dump_network_proc = stop_file;
    d->load_network_proc = is("null_load") ? NULL : stop_file;
    d->error_string_proc = stop_text;
    d->connections = connections;
}

bpnet_descriptor *network_query(int box, int layer);
bpnet_descriptor *network_query(int box, int layer)
{
    bpnet_descriptor *d = &descriptor;
    if (box != 0 || is("null_descriptor"))
        return NULL;
    d->box_number = 0;
    d->box_name = is("bad_name") ? "9lives" : "fake";
    d->layer_count = is("layer_count") ? 2 : 1;
    d->input_size = is("zero_inputs") ? 0 : 3;
    d->input_dim_x = d->input_size;
    d->input_dim_y = 1;
    d->propagate_forward_proc = is("null_forward") ? NULL : stop;
    d->calc_grad_proc = stop;
    d->update_weights_proc = stop_float;
    d->get_backprop_counter_proc = stop_get_int;
    d->set_backprop_counter_proc = stop_int;
    d->set_target_output_proc = stop_vector;
    d->get_target_output_proc = stop_get_vector;
    d->get_output_proc = outputs;
    d->set_input_proc = stop_vector;
    d->get_input_proc = stop_get_vector;
    if (layer < 0 || layer >= (is("extra_layer") ? 2 : 1) || (is("layer_count") && layer == 1))
        return NULL;
    d->layer_number = layer;
    d->layer_name = "fake:Out";
    d->layer_size = is("absurd_size") ? 1 << 30 : 2;
    d->layer_dim_x = d->layer_size;
    d->layer_dim_y = 1;
    d->layer_activations = storage;
    d->layer_thresholds = storage + 4;
    d->layer_threshold_steps = storage + 8;
    d->layer_deltas = storage + 12;
    d->layer_connection_count = 1;
    return d;
}

#endif

/* A host program in C that knows nothing about the network it links: it discovers the black
 * box, its layers and their connections through network_query, drives the network through the
 * entry points the descriptor hands out, and reads the outputs through the activations pointer
 * of layer 0.
 *
 * Usage: host [SAVE_FILE]   (without a save file the network keeps its random initial values) */
#include <stdio.h>
#include <string.h>

#include "network/nn.h"

/* Largest layer and input sizes this host is prepared for. */
#define HOST_MAX_UNITS 64

/* Print the layer the descriptor holds and its incoming connections; return its weight count. */
static int print_layer(const nn_descriptor *d)
{
    int weights = 0;
    int c;
    printf("layer %d: %s, %d units (%d x %d), %d incoming connection%s\n", d->layer_number, d->layer_name,
           d->layer_size, d->layer_dim_x, d->layer_dim_y, d->layer_connection_count,
           d->layer_connection_count == 1 ? "" : "s");
    printf("  thresholds:");
    for (c = 0; c < d->layer_size; c++)
        printf(" %f", d->layer_thresholds[c]);
    printf("\n");
    for (c = 0; c < d->layer_connection_count; c++) {
        const nn_connection_record *r = &d->connections[c];
        printf("  from %s (source %d, %d units): %d weights, first row:", r->source_name, r->source_number,
               r->source_size, r->weight_count);
        for (int k = 0; k < r->source_size; k++)
            printf(" %f", r->weights[k]);
        printf("\n");
        weights += r->weight_count;
    }
    return weights;
}

int main(int argc, char **argv)
{
    const nn_descriptor *d;
    float *outputs = NULL;
    int output_size = 0;
    int units = 0;
    int weights = 0;
    int layer;
    static float input[HOST_MAX_UNITS];

    if (argc > 2 || (argc == 2 && (strcmp(argv[1], "--help") == 0 || argv[1][0] == '\0'))) {
        fprintf(argc == 2 && strcmp(argv[1], "--help") == 0 ? stdout : stderr, "usage: %s [SAVE_FILE]\n", argv[0]);
        return argc == 2 && strcmp(argv[1], "--help") == 0 ? 0 : 1;
    }

    /* Start the network; the descriptor's network section is written from here on. */
    network_initialize(NULL, 0);
    d = network_query(0, 0);
    if (d == NULL) {
        fprintf(stderr, "host: black box 0 does not answer\n");
        return 1;
    }
    printf("network %s from %s: %d units, %d trainable values\n", d->network_name, d->description_file,
           d->unit_count, d->parameter_count);
    printf("black box %d: %s, %d inputs (%d x %d), %d layers\n", d->box_number, d->box_name, d->input_size,
           d->input_dim_x, d->input_dim_y, d->layer_count);
    if (d->input_size > HOST_MAX_UNITS) {
        fprintf(stderr, "host: %d inputs are more than this host handles\n", d->input_size);
        return 1;
    }

    /* Load the save file through the descriptor's entry point. */
    if (argc == 2) {
        if (d->load_network_proc(argv[1]) != 0) {
            fprintf(stderr, "%s", d->error_string_proc());
            return 1;
        }
        printf("loaded %s\n", argv[1]);
    }

    /* Each layer in turn; the descriptor holds one at a time, so keep what is needed later. */
    for (layer = 0; layer < d->layer_count; layer++) {
        if (network_query(0, layer) == NULL) {
            fprintf(stderr, "host: layer %d does not answer\n", layer);
            return 1;
        }
        weights += print_layer(d);
        units += d->layer_size;
        if (layer == 0) {
            outputs = d->layer_activations;
            output_size = d->layer_size;
        }
    }
    printf("%d units and %d weights: %s\n", units, weights,
           units == d->unit_count && units + weights == d->parameter_count ? "consistent" : "INCONSISTENT");

    /* Forward passes through the entry points; the outputs are read where layer 0 keeps them. */
    d->set_input_proc(input);
    if (d->get_output_proc() != outputs) {
        fprintf(stderr, "host: layer 0 activations are not the network's outputs\n");
        return 1;
    }
    for (int p = 0; p < 4; p++) {
        for (int i = 0; i < d->input_size; i++)
            input[i] = (p & (1 << i)) ? 0.5f : -0.5f;
        d->propagate_forward_proc();
        printf("input");
        for (int i = 0; i < d->input_size; i++)
            printf(" %f", input[i]);
        printf(" -> output");
        for (int j = 0; j < output_size; j++)
            printf(" %f", outputs[j]);
        printf("\n");
    }
    return 0;
}

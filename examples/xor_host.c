/* A C host of a generated network module: the network xor of examples/networks/xor.toml,
 * made into a library by bpnet_add_network. It trains the network on exclusive or, saves it,
 * starts a fresh network from another seed, loads the save file into it and checks that the
 * reloaded network gives the same outputs, bit for bit, and the right answers.
 *
 * Usage: xor_host SAVE_FILE   (the file is written, then read back) */
#include <stdio.h>
#include <string.h>

#include "xor.h"

static float input[XOR_INPUTS];
static float target[XOR_OUTPUTS];
static int pattern;

/* The four patterns of exclusive or, one after the other. */
static void next_pattern(void)
{
    const int a = pattern & 1, b = (pattern >> 1) & 1;
    input[0] = a ? 1.0f : -1.0f;
    input[1] = b ? 1.0f : -1.0f;
    target[0] = (float)(a ^ b);
    pattern = (pattern + 1) % 4;
}

/* Outputs of the four patterns. */
static void run_patterns(float out[4])
{
    int p;
    pattern = 0;
    for (p = 0; p < 4; p++) {
        next_pattern();
        xor_propagate_forward();
        out[p] = xor_get_output()[0];
    }
}

int main(int argc, char **argv)
{
    float trained[4], reloaded[4];
    int p, wrong = 0;
    if (argc != 2) {
        fprintf(stderr, "usage: %s SAVE_FILE\n", argv[0]);
        return 1;
    }

    /* Train. */
    network_initialize(NULL, 0);
    xor_set_input(input);
    xor_set_target_output(target);
    xor_set_learning_rate(2.0f);
    xor_set_inertia(0.9f);
    network_learn(40000, next_pattern);
    run_patterns(trained);
    if (xor_dump_network(argv[1]) != 0) {
        fprintf(stderr, "%s", xor_error_string());
        return 1;
    }

    /* A fresh network from another seed, then the save file over it. */
    xor_set_random_init_seed(99);
    xor_init_network();
    if (xor_load_network(argv[1]) != 0) {
        fprintf(stderr, "%s", xor_error_string());
        return 1;
    }
    run_patterns(reloaded);
    for (p = 0; p < 4; p++) {
        const int expected = (p & 1) ^ ((p >> 1) & 1);
        printf("%2.0f %2.0f -> %f\n", p & 1 ? 1.0 : -1.0, (p >> 1) & 1 ? 1.0 : -1.0, (double)reloaded[p]);
        if (memcmp(&trained[p], &reloaded[p], sizeof(float)) != 0 || (reloaded[p] > 0.5f) != expected)
            wrong++;
    }
    printf("%d learning steps, %s\n", xor_get_backprop_counter(), wrong ? "WRONG" : "all four right");
    return wrong ? 1 : 0;
}

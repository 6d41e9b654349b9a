/* Proves the C interface: every public header compiles as C, and the entry points link and
 * work from a C caller. Exit status 0 only when every check holds. */
#include <stdio.h>
#include <string.h>

#include "bp/BpSim.h"
#include "bp/BpSimMath.h"
#include "bp/BpSupport.h"
#include "network/nn.h"
#include "platform/vl_exit.h"
#include "platform/vl_file.h"
#include "platform/vl_mem.h"

static int failures = 0;

static void check(int ok, const char *what)
{
    if (!ok) {
        fprintf(stderr, "c_interface: %s\n", what);
        failures++;
    }
}

int main(void)
{
    float in[2] = {0.25f, -0.5f};
    const float a[3] = {1.0f, 2.0f, 3.0f};
    float *out;

    check(BPvdot(a, a, 3) == 14.0f, "BPvdot");
    nn_set_random_init_range(0.0f);
    check(nn_init_network() == 0, "nn_init_network");
    nn_set_input(in);
    nn_propagate_forward();
    out = nn_get_output();
    check(out == network_data + 12, "nn_get_output");
    check(out[0] == 0.498046875f && out[3] == 0.498046875f, "forward pass with zero weights");
    check(strcmp(nn_error_string(), "") == 0, "error_string cleared");
    check(nn_load_network("/nonexistent/Network.save") == -1, "load of a missing file");
    check(strncmp(error_string, "\nUnable to open ", 16) == 0, "open message");
    {
        /* A random source of its own gives what the process's generator gives from one seed. */
        bp_random r;
        int i, same = 1;
        BPfrandom_init(123);
        BPrandom_init(&r, 123);
        for (i = 0; i < 100; i++) {
            const float process = BPfrandom(1.0f), own = BPrandom_float(&r, 1.0f);
            same = same && memcmp(&process, &own, sizeof own) == 0;
        }
        check(same, "BPrandom_float");
    }
    {
        int size = -1;
        check(BPget_error_buffer(&size) == error_string && size > 0, "BPget_error_buffer");
    }
    check(bp_exp(0.0) == 1.0 && bp_expf(0.0f) == 1.0f, "bp_exp");
    {
        void *block = vl_alloc_mem(1);
        check(block != NULL, "vl_alloc_mem");
        vl_free_mem(block);
    }
    return failures == 0 ? 0 : 1;
}

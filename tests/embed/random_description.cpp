// Prints a random valid description (the generator tests' own random descriptions) for the
// given seed: embed_random_description SEED [MAX_LAYERS MAX_UNITS].
#include <cstdio>
#include <cstdlib>
#include <random>

#include "support/gen_support.h"

int main(int argc, char **argv)
{
    if (argc != 2 && argc != 4) {
        std::fprintf(stderr, "usage: embed_random_description SEED [MAX_LAYERS MAX_UNITS]\n");
        return 1;
    }
    std::mt19937_64 rng(std::strtoull(argv[1], nullptr, 10));
    const int layers = argc == 4 ? std::atoi(argv[2]) : 5;
    const int units = argc == 4 ? std::atoi(argv[3]) : 40;
    if (layers < 1 || units < 1) {
        std::fprintf(stderr, "embed_random_description: sizes must be at least 1\n");
        return 1;
    }
    std::fputs(bptest::random_description(rng, layers, units).c_str(), stdout);
    return 0;
}

// The composite plot driver's job done with the peer library (FANN): load the network saved
// as "peer.net" (2-4-2-4 with shortcut connections), evaluate it on the same 100 x 100 grid,
// combine the four outputs with the same four Gaussian bumps in the same arithmetic, and print
// every value with printf's "%f". Timed beside PlotComposite as a process.
#include <floatfann.h>

#include <cstdio>

#include "driver/PlotReference.h"

namespace {

float grid[100 * 100];

}  // namespace

int main()
{
    struct fann *ann = fann_create_from_file("peer.net");
    if (ann == nullptr) {
        std::fprintf(stderr, "peer_driver: cannot load peer.net\n");
        return 1;
    }
    const float step = 0.002f;
    float y = -0.1f;
    for (int i = 0; i < 100; i++) {
        float x = -0.1f;
        for (int j = 0; j < 100; j++) {
            fann_type in[2] = {static_cast<float>(static_cast<double>(x) * 10.0),
                               static_cast<float>(static_cast<double>(y) * 10.0)};
            x = x + step;
            const fann_type *o = fann_run(ann, in);
            grid[i * 100 + j] = plot_reference_composite(o, x, y);
        }
        y = y + step;
    }
    for (int i = 0; i < 100; i++) {
        for (int j = 0; j < 100; j++)
            std::printf("%f\n", static_cast<double>(grid[i * 100 + j]));
        std::printf("\n");
    }
    return 0;
}

/* Proves the C interface: every public header compiles as C and links. */
#include "bp/BpSim.h"
#include "bp/BpSupport.h"
#include "network/nn.h"
#include "platform/vl_exit.h"
#include "platform/vl_file.h"
#include "platform/vl_mem.h"

int main(void)
{
    return nn_init_network() == 0 ? 0 : 1;
}

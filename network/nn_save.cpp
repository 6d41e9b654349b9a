// Binary save files of the nn module, and network start-up.
#include "network/nn_save.h"

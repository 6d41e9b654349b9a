/* ASCII dump and load of the nn module. */
#ifndef NETWORK_NN_ASCII_H
#define NETWORK_NN_ASCII_H
#ifdef __cplusplus
extern "C" {
#endif

/* Print the step counter and the 62 values: labelled form when labelled != 0, else the bare form. */
void nn_ascii_dump_network(int labelled);
void network_ascii_dump(int labelled);
/* Read the bare form from standard input; 0, or -2 with a message when it is incomplete. */
int nn_load_ascii_network(void);
int network_load_ascii(void);

#ifdef __cplusplus
}
#endif
#endif

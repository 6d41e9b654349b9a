/* The composite plot driver: loads "Network.save", evaluates the network on a 100 x 100 grid and
 * prints one composite value per point. */
#ifndef DRIVER_PLOTCOMPOSITE_H
#define DRIVER_PLOTCOMPOSITE_H
#ifdef __cplusplus
extern "C" {
#endif

/* Grid points per row and rows per grid. */
#define PLOT_GRID 100

/* The driver's input vector: ten times the grid coordinates x and y. */
extern float inputv[2];
/* The composite values, row by row: row i (y) and column j (x) at i*100 + j. */
extern float h123[PLOT_GRID * PLOT_GRID];

/* Evaluate the loaded network over the grid into h123. */
void plot_compute_grid(void);
/* Write h123 to descriptor fd: 100 blocks of 100 lines "%f\n", each block followed by an empty
 * line. Returns 0, or -1 with errno set when a write fails. */
int plot_write_grid(int fd);
/* Print h123 on standard output as plot_write_grid does; returns 0, or -1 with errno set. */
int plot_print_grid(void);

#ifdef __cplusplus
}
#endif
#endif

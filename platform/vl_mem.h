/* Checked memory allocation. */
#ifndef VL_MEM_H
#define VL_MEM_H
#ifdef __cplusplus
extern "C" {
#endif

/* Allocate size bytes; null (with a warning) for 0, fatal exit when memory runs out. */
void *vl_alloc_mem(int size);
/* Release a block from vl_alloc_mem; null is ignored. */
void vl_free_mem(void *block);

#ifdef __cplusplus
}
#endif
#endif

// Multi-unit kernels for full connections with constant sizes: several destination units at
// once, with exactly the results of the library kernels. A full connection feeds every
// destination unit from the same source vector x, so BPlvdot's x offset is zero for every unit
// (ov = n), and its unit i sums W[i*n+k]*x[k] from zero in ascending k. Here each vector lane
// keeps one unit's own double sum, in that same order: the rows of a group of units are read
// four (or sixteen) columns at a time and transposed into lanes, so that one vector add advances
// every unit of the group by one term. The learning kernels are vectorised across the source
// units k, where every element is its own sequence of float roundings (the gradient g[i*n+k],
// the back-propagated delta h[k] across i in ascending order). No product is fused with an add:
// a float times a float is exact in double, so a double multiply followed by a double add is
// exactly the kernel's arithmetic, and the roundings to float sit where the kernels put them.
//
// Paths: `portable` (plain C++, four units side by side in scalar doubles; every build),
// and on x86-64 `sse2` (two double lanes; every x86-64), `avx2` (four lanes) and `avx512`
// (eight lanes for layers wide enough to gain from them, the four-lane code elsewhere). The
// x86 paths are compiled with the target attribute of their instruction set, so a module built
// for the baseline carries them all and picks one at run time (bp_multi::active_path()); a
// caller inlines a path's kernels by carrying the same attribute (BP_MULTI_AVX2,
// BP_MULTI_AVX512). Every path gives the same bits. No kernel uses a masked store: where a
// vector would reach past the end of a row, the last step covers the row's last full vector
// instead (see bp/multi/elementwise.inc), or the lanes are stored one by one.
//
// Each namespace offers the same kernels: lvdot<n, m>, lvdot_sum<n, m>,
// accum_weights_from_input<m, n>, accum_weights_from_hidden<m, n>, accum_biases<n>,
// deriv_sig1<n>, update_weights<n>, update_weights(..., n) and update_weights_clear (the update
// followed by zeroed gradients); sig1<n> and output_error<n> are the inline copies.
//
// One header per path under bp/multi/: common.h (the paths, the choice at run time, the
// attributes), portable.h, sse2.h, avx2.h and avx512.h; the elementwise kernels that are the same
// at every vector width are written once in bp/multi/elementwise.inc and compiled into each x86
// path with its attribute. This header includes them all: modules include it.
// C++ only, for module code.
#ifndef BP_BPSIMMULTI_H
#define BP_BPSIMMULTI_H

#include "bp/multi/common.h"
#include "bp/multi/portable.h"
#include "bp/multi/sse2.h"
#include "bp/multi/avx2.h"
#include "bp/multi/avx512.h"

#endif

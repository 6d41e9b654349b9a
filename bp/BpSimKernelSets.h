// Kernel sets: one type per kernel path whose static members are that path's multi-unit
// kernels, so that a pass is written once as a template over the set and instantiated per
// path. Each member carries its path's target attribute and forwards to bp_multi::PATH; a
// caller inlines them by carrying the same attribute (see BP_MULTI_PATH_FUNCTION).
// C++ only, for module code.
#ifndef BP_BPSIMKERNELSETS_H
#define BP_BPSIMKERNELSETS_H

#include "bp/BpSimMulti.h"

// A function that runs one instantiation of a pass on a path: it carries the path's
// attribute and inlines everything it calls, so that the template's kernel calls compile with
// the path's instruction set and without calls.
#if defined(__GNUC__) || defined(__clang__)
#define BP_FLATTEN __attribute__((flatten))
#else
#define BP_FLATTEN
#endif

// The members of one kernel set: ATTR is the path's function attribute, NS its namespace.
#define BP_KERNEL_SET_MEMBERS(ATTR, NS)                                                       \
    template <int n, int m>                                                                   \
    ATTR static void lvdot(const float *W, const float *x, float *d)                          \
    {                                                                                         \
        NS::lvdot<n, m>(W, x, d);                                                             \
    }                                                                                         \
    template <int n, int m>                                                                   \
    ATTR static void lvdot_sum(const float *W, const float *x, float *d)                      \
    {                                                                                         \
        NS::lvdot_sum<n, m>(W, x, d);                                                         \
    }                                                                                         \
    template <int m, int n>                                                                   \
    ATTR static void accum_weights_from_input(const float *e, const float *x, float *g)       \
    {                                                                                         \
        NS::accum_weights_from_input<m, n>(e, x, g);                                          \
    }                                                                                         \
    template <int m, int n>                                                                   \
    ATTR static void accum_weights_from_hidden(const float *e, const float *x, float *h,      \
                                               const float *W, float *g)                      \
    {                                                                                         \
        NS::accum_weights_from_hidden<m, n>(e, x, h, W, g);                                   \
    }                                                                                         \
    template <int n>                                                                          \
    ATTR static void deriv_sig1(const float *a, float *e, float off)                          \
    {                                                                                         \
        NS::deriv_sig1<n>(a, e, off);                                                         \
    }                                                                                         \
    template <int n>                                                                          \
    ATTR static void accum_biases(float *g, const float *e)                                   \
    {                                                                                         \
        NS::accum_biases<n>(g, e);                                                            \
    }                                                                                         \
    template <int n>                                                                          \
    ATTR static void update_weights_clear(float mom, float *g, float *W, float *p)            \
    {                                                                                         \
        NS::update_weights_clear<n>(mom, g, W, p);                                            \
    }                                                                                         \
    /* The same kernels with the sizes given at run time. */                                  \
    ATTR static void lvdot(const float *W, const float *x, float *d, int n, int m)            \
    {                                                                                         \
        NS::lvdot(W, x, d, n, m);                                                             \
    }                                                                                         \
    ATTR static void lvdot_sum(const float *W, const float *x, float *d, int n, int m)        \
    {                                                                                         \
        NS::lvdot_sum(W, x, d, n, m);                                                         \
    }                                                                                         \
    ATTR static void accum_weights_from_input(const float *e, const float *x, float *g,       \
                                              int m, int n)                                   \
    {                                                                                         \
        NS::accum_weights_from_input(e, x, g, m, n);                                          \
    }                                                                                         \
    ATTR static void accum_weights_from_hidden(const float *e, const float *x, float *h,      \
                                               const float *W, float *g, int m, int n)        \
    {                                                                                         \
        NS::accum_weights_from_hidden(e, x, h, W, g, m, n);                                   \
    }                                                                                         \
    ATTR static void deriv_sig1(const float *a, float *e, float off, int n)                   \
    {                                                                                         \
        NS::deriv_sig1(a, e, off, n);                                                         \
    }                                                                                         \
    ATTR static void accum_biases(float *g, const float *e, int n)                            \
    {                                                                                         \
        NS::accum_biases(g, e, n);                                                            \
    }                                                                                         \
    ATTR static void update_weights_clear(float mom, float *g, float *W, float *p, int n)     \
    {                                                                                         \
        NS::update_weights_clear(mom, g, W, p, n);                                            \
    }

#define BP_NO_ATTRIBUTE

namespace bp_multi {

// Plain C++, any processor.
struct PortableKernels {
    BP_KERNEL_SET_MEMBERS(BP_NO_ATTRIBUTE, portable)
};

#if BP_MULTI_X86
// Two double lanes: every x86-64.
struct Sse2Kernels {
    BP_KERNEL_SET_MEMBERS(BP_NO_ATTRIBUTE, sse2)
};
// Four double lanes.
struct Avx2Kernels {
    BP_KERNEL_SET_MEMBERS(BP_MULTI_AVX2, avx2)
};
// Eight double lanes where a layer is wide enough, four elsewhere.
struct Avx512Kernels {
    BP_KERNEL_SET_MEMBERS(BP_MULTI_AVX512, avx512)
};
#endif

}  // namespace bp_multi

#undef BP_NO_ATTRIBUTE
#undef BP_KERNEL_SET_MEMBERS

// One instantiation of the pass template PASS per kernel path this build carries, as the
// functions PASS_avx512, PASS_avx2, PASS_sse2 and PASS_portable, each with its path's
// attribute; and PASS_for(path), the one of them that a path runs. PARAMS and ARGS are the
// parenthesised parameter and argument lists.
#if BP_MULTI_X86
#define BP_PATH_FUNCTIONS(PASS, PARAMS, ARGS)                                                  \
    BP_MULTI_AVX512 BP_FLATTEN void PASS##_avx512 PARAMS { PASS<bp_multi::Avx512Kernels> ARGS; } \
    BP_MULTI_AVX2 BP_FLATTEN void PASS##_avx2 PARAMS { PASS<bp_multi::Avx2Kernels> ARGS; }       \
    BP_FLATTEN void PASS##_sse2 PARAMS { PASS<bp_multi::Sse2Kernels> ARGS; }                     \
    BP_FLATTEN void PASS##_portable PARAMS { PASS<bp_multi::PortableKernels> ARGS; }             \
    inline decltype(&PASS##_portable) PASS##_for(bp_multi::Path path)                           \
    {                                                                                          \
        switch (path) {                                                                        \
        case bp_multi::Path::avx512: return PASS##_avx512;                                     \
        case bp_multi::Path::avx2: return PASS##_avx2;                                         \
        case bp_multi::Path::sse2: return PASS##_sse2;                                         \
        default: return PASS##_portable;                                                       \
        }                                                                                      \
    }
#else
#define BP_PATH_FUNCTIONS(PASS, PARAMS, ARGS)                                                  \
    BP_FLATTEN void PASS##_portable PARAMS { PASS<bp_multi::PortableKernels> ARGS; }             \
    inline decltype(&PASS##_portable) PASS##_for(bp_multi::Path) { return PASS##_portable; }
#endif

#endif

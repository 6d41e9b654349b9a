/* Portable spelling of "this function does not return" for C and C++ headers. */
#ifndef VL_NORETURN_H
#define VL_NORETURN_H
#if defined(__cplusplus)
#define VL_NORETURN [[noreturn]]
#elif defined(__GNUC__) || defined(__clang__)
#define VL_NORETURN __attribute__((noreturn))
#else
#define VL_NORETURN _Noreturn
#endif
#endif

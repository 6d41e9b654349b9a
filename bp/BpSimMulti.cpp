// Choice of the multi-unit kernel path: what this build carries, what the processor and the
// system can run, and the one modules use.
#include "bp/BpSimMulti.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace bp_multi {

namespace {

constexpr const char *kNames[kPathCount] = {"portable", "sse2", "avx2", "avx512"};

// The variable that names a path for the modules of this process.
constexpr const char *kPathVariable = "BPNET_KERNEL_PATH";

Path choose_active_path()
{
    const Path best = best_path();
    const char *wanted = std::getenv(kPathVariable);
    if (wanted == nullptr || wanted[0] == '\0')
        return best;
    for (int i = 0; i < kPathCount; i++) {
        if (std::strcmp(wanted, kNames[i]) != 0)
            continue;
        const Path p = static_cast<Path>(i);
        if (path_runs(p))
            return p;
        std::fprintf(stderr, "bpnet: %s=%s: this machine cannot run that kernel path; using %s\n", kPathVariable,
                     wanted, path_name(best));
        return best;
    }
    std::fprintf(stderr, "bpnet: %s=%s: unknown kernel path (portable, sse2, avx2, avx512); using %s\n",
                 kPathVariable, wanted, path_name(best));
    return best;
}

}  // namespace

const char *path_name(Path p)
{
    const int i = static_cast<int>(p);
    return i >= 0 && i < kPathCount ? kNames[i] : "unknown";
}

bool path_runs(Path p)
{
    switch (p) {
    case Path::portable:
        return true;
#if BP_MULTI_X86
    case Path::sse2:
        return true;
    case Path::avx2:
        // The processor's features as the system enables them (the vector state saved on
        // context switches), as the compiler's run-time library reports them.
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2");
    case Path::avx512:
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("avx512f") &&
               __builtin_cpu_supports("avx512vl");
#endif
    default:
        return false;
    }
}

Path best_path()
{
    for (int i = kPathCount - 1; i > 0; i--)
        if (path_runs(static_cast<Path>(i)))
            return static_cast<Path>(i);
    return Path::portable;
}

Path active_path()
{
    static const Path chosen = choose_active_path();
    return chosen;
}

}  // namespace bp_multi

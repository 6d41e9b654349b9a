// Fuzz target: the CSV pattern reader (nn_patterns::parse_csv).
// A broken invariant aborts with its description, so the fuzzer keeps the input.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/reader_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string fault = check_csv(data, size);
    if (!fault.empty()) {
        std::fprintf(stderr, "\ninvariant broken: %s\n", fault.c_str());
        std::abort();
    }
    return 0;
}

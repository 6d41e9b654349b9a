// Helpers for the generator's tests: random descriptions, generating and compiling modules in
// parallel, loading them side by side, and capturing what they print.
#ifndef TESTS_SUPPORT_GEN_SUPPORT_H
#define TESTS_SUPPORT_GEN_SUPPORT_H

#include <dlfcn.h>

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace bptest {

// A random valid description (TOML text): 1 to max_layers layers, random source sets listed
// in random order, random unit kinds, awkward names. The inputs are a vector of 1 to max_units
// values or a grid of up to 8 x 8; a layer has 1 to max_units units (sometimes a shape), or
// the units that the receptive fields of one of its sources make. Any source may be read
// through one-dimensional or two-dimensional fields, overlapping or not, shared or not, that
// fit the layer; the rest are full connections, written as names or as tables. With
// `feedback`, each layer has feedback of order 0, 1 or 2 at random, and a layer with feedback
// reads every field unshared.
std::string random_description(std::mt19937_64 &rng, int max_layers, int max_units, bool feedback = false);

// Run `bpnet-gen --shared` on each description file, `jobs` at a time; one exit status each
// (the compiler's messages go to FILE.log beside each output).
std::vector<int> build_modules(const std::vector<std::string> &descriptions, const std::vector<std::string> &outputs,
                               int jobs);

// A shared module loaded with RTLD_LOCAL, and its symbols.
struct Module {
    void *handle = nullptr;
    std::string name;  // the black box's name, the prefix of its functions
    explicit Module(const std::string &path, const std::string &network);
    ~Module();
    Module(const Module &) = delete;
    Module &operator=(const Module &) = delete;
    void *symbol(const std::string &s) const;
    template <class T>
    T fn(const std::string &suffix) const
    {
        return reinterpret_cast<T>(symbol(name + "_" + suffix));
    }
    template <class T>
    T *var(const std::string &s) const
    {
        return static_cast<T *>(symbol(s));
    }
};

}  // namespace bptest

#endif

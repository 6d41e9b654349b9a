// Helpers shared by the tests: files, temporary folders and child processes.
#ifndef TESTS_SUPPORT_TEST_SUPPORT_H
#define TESTS_SUPPORT_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace bptest {

// Path of a file in tests/data.
std::string data_path(const std::string &name);
// Path of a program built by the project (relative to the build folder, e.g. "driver/PlotComposite").
std::string bin_path(const std::string &relative);
// Whole contents of a file; empty when it cannot be read.
std::string read_file(const std::string &path);
// Write a file (created or truncated).
void write_file(const std::string &path, const std::string &contents);
// A fresh empty folder under the system's temporary folder, removed by remove_tree.
std::string make_temp_dir();
void remove_tree(const std::string &path);
// Standard output of `body`, run in this process, captured through a temporary file.
std::string capture_stdout(const std::function<void()> &body);

// Bit-for-bit comparison of floats, the one comparison of exact results: a NaN equals only a
// NaN of the same bits, and 0.0 differs from -0.0. A failure names the values, their bits and,
// for arrays, the first index that differs.
::testing::AssertionResult same_bits(float a, float b);
::testing::AssertionResult same_bits(const float *a, const float *b, std::size_t n);
::testing::AssertionResult same_bits(const std::vector<float> &a, const std::vector<float> &b);
// The first index where n floats differ in their bits, or -1 when none does.
std::ptrdiff_t first_bit_difference(const float *a, const float *b, std::size_t n);

// A sample size of the randomized tests: `n` times BPNET_TEST_SCALE (a whole number, 1 when unset),
// so that a larger sample than the suite's own is one environment variable away.
int scaled(int n);

// Result of running a child process.
struct RunResult {
    int status = -1;      // exit status, or 128 + signal number
    std::string out;      // standard output
    std::string err;      // standard error
};
// How a child runs besides its arguments: a limit on the size of the files it writes
// (RLIMIT_FSIZE, with SIGXFSZ in its default disposition, as a shell's "ulimit -f" leaves it),
// and a file, created or truncated, that takes its standard output in place of the pipe.
struct RunLimits {
    long long file_size = -1;  // bytes; -1 for no limit
    std::string stdout_file;   // relative to cwd; empty for the pipe
};
// Run argv in folder cwd with the given standard input; waits for it.
RunResult run(const std::vector<std::string> &argv, const std::string &cwd, const std::string &input = "",
              const RunLimits &limits = {});

}  // namespace bptest

#endif

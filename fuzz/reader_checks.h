// Invariant checks of the readers, shared by the fuzz targets and the regression test.
// Each check feeds one input to one reader, starting from the same known network state,
// and returns an empty string when every invariant held, else what was broken.
#ifndef FUZZ_READER_CHECKS_H
#define FUZZ_READER_CHECKS_H

#include <cstddef>
#include <cstdint>
#include <string>

// Binary save file: nn_load_network on a file holding the bytes.
std::string check_binary_load(const std::uint8_t *data, std::size_t size);
// ASCII dump: nn_load_ascii_network with the bytes as standard input.
std::string check_ascii_load(const std::uint8_t *data, std::size_t size);
// Start-up: nn_init_network, then the load network_initialize performs, then forward passes.
std::string check_startup(const std::uint8_t *data, std::size_t size);
// CSV patterns: nn_patterns::parse_csv on the bytes as text.
std::string check_csv(const std::uint8_t *data, std::size_t size);

// Result of the reader in the last check: the load's 0, -1 or -2; for parse_csv 1 when the
// text parsed, 0 when it was refused.
int reader_checks_last_result();
// Remove the scratch folder made by the checks (also removed at exit).
void reader_checks_cleanup();

#endif

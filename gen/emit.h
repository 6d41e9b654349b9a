// Code generation: the straight-line module of a checked network model.
#ifndef GEN_EMIT_H
#define GEN_EMIT_H

#include <string>

#include "gen/model.h"

namespace bpgen {

// The generator's name and version, written into every generated file.
extern const char *const kGeneratorVersion;

// A network's name in capitals, as its macros spell it (NN_DATA_SIZE).
std::string upper_name(const std::string &name);

// The module's public C header, NAME.h.
std::string emit_header(const Model &m);

// The module's source, NAME.cpp: layout, forward pass and learning step as straight-line
// kernel calls, then the table-driven parts from the module runtime.
std::string emit_source(const Model &m);

}  // namespace bpgen

#endif

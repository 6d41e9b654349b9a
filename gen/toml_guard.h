// A guard in front of the TOML parser.
#ifndef GEN_TOML_GUARD_H
#define GEN_TOML_GUARD_H

#include <string>
#include <string_view>

namespace bpgen {

// The text with every character that toml++ 3.3 cannot classify safely replaced by U+FFFD.
// Its test for non-ASCII white space reaches an unreachable point (undefined behaviour) for
// some characters of U+00A1-U+0499, U+2C5E-U+3057 and U+FB26-U+FEFE; none of them is white
// space, and U+FFFD is not either, so the parse is the same but for how the character reads
// in a message. Columns count characters, so every position stays where it was.
std::string guard_toml_text(std::string_view text);

}  // namespace bpgen

#endif

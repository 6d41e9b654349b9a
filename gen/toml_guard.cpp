// The guard in front of the TOML parser: a scan of the text's UTF-8 sequences.
#include "gen/toml_guard.h"

namespace bpgen {

namespace {

// Characters the parser's white-space test leaves unclassified.
bool unclassified(char32_t c)
{
    return (c >= 0xA1 && c <= 0x499) || (c >= 0x2C5E && c <= 0x3057 && c != 0x3000) || (c >= 0xFB26 && c <= 0xFEFE);
}

}  // namespace

std::string guard_toml_text(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto b0 = static_cast<unsigned char>(text[i]);
        // Only well-formed two- and three-byte sequences can hold the characters in question;
        // everything else is passed on for the parser to judge.
        std::size_t len = 1;
        char32_t c = 0;
        const auto cont = [&](std::size_t k) {
            return i + k < text.size() && (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        };
        if (b0 >= 0xC2 && b0 <= 0xDF && cont(1)) {
            len = 2;
            c = (static_cast<char32_t>(b0 & 0x1F) << 6) | (static_cast<unsigned char>(text[i + 1]) & 0x3F);
        } else if (b0 >= 0xE0 && b0 <= 0xEF && cont(1) && cont(2)) {
            len = 3;
            c = (static_cast<char32_t>(b0 & 0x0F) << 12) |
                (static_cast<char32_t>(static_cast<unsigned char>(text[i + 1]) & 0x3F) << 6) |
                (static_cast<unsigned char>(text[i + 2]) & 0x3F);
            if (c < 0x800)
                c = 0;  // an overlong form: not a character, left to the parser
        }
        if (len > 1 && unclassified(c))
            out += "\xEF\xBF\xBD";
        else
            out.append(text.substr(i, len));
        i += len;
    }
    return out;
}

}  // namespace bpgen

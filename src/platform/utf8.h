#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// Length of the well-formed UTF-8 sequence at `at`, with its code point in `*code`; 0 when the
// bytes there are not one (a stray or cut-off byte, an overlong form, a surrogate, or a code
// point past U+10FFFF). Device text is checked with it before it is passed on as text.
size_t DecodeUtf8(std::string_view text, size_t at, uint32_t* code);

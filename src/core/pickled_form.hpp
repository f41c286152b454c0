// The encoder's pickled form: a little-endian byte string with no header.
//
//   state tag (1 byte: 0 absent, 1 present)
//   [FittedTables, only when present:
//     encoded_columns: count u64, then count positions u64
//     encoding_tables: count u64, then per column: position u64, entry count u64,
//                      then per entry: text (length u64 + bytes), code tag u8, [code u64]
//     decoding_tables: count u64, then per column: position u64, entry count u64,
//                      then per entry: code u64, text (length u64 + bytes)]
//   strategy index (u32, 0 = Label)
//
// Other processes read these bytes, so the layout and the reader's messages are fixed.
//
// Equal states are written as equal bytes, whatever the process: columns by
// ascending position; an encoding table's coded entries by code, then its
// entries without a code by the bytes of their text; a decoding table's entries
// by code. The reader takes entries and columns in any order.
#pragma once

#include <cstddef>
#include <string_view>

#include "core/result.hpp"
#include "core/state.hpp"

namespace vorpak {

// Exact number of bytes write_pickled_form will produce.
size_t pickled_size(const EncoderState& state);

// Writes exactly pickled_size(state) bytes to `out`.
void write_pickled_form(const EncoderState& state, char* out);

// Reads a state from the start of `bytes`; trailing bytes are ignored. A failure
// carries the reader's message.
Result<EncoderState> read_pickled_form(std::string_view bytes);

}  // namespace vorpak

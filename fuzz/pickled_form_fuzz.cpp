// libFuzzer harness for the pickled-form reader.
//
// Any input must be either rejected with one of the reader's messages and no state,
// or accepted; an accepted state must survive writing and reading back unchanged,
// and the bytes written for it are the only ones its state is written as. Every
// check aborts so the fuzzer records the input.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "core/pickled_form.hpp"

namespace {

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "pickled_form_fuzz: %s\n", what);
    std::abort();
  }
}

bool same(const vorpak::EncoderState& a, const vorpak::EncoderState& b) {
  if (a.strategy != b.strategy) return false;
  if (!a.fitted || !b.fitted) return !a.fitted && !b.fitted;
  return *a.fitted == *b.fitted;
}

bool known_message(std::string_view error) {
  if (error == "io error: unexpected end of file" || error == "io error: ") return true;
  for (std::string_view prefix :
       {"string is not valid utf8: invalid utf-8 sequence of ",
        "string is not valid utf8: incomplete utf-8 byte sequence from index ",
        "tag for enum is not valid, found ", "invalid value: integer `"}) {
    if (error.starts_with(prefix)) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  vorpak::Result<vorpak::EncoderState> read = vorpak::read_pickled_form(input);
  if (!read) {
    check(known_message(read.error()), "unknown error message");
    return 0;
  }
  const vorpak::EncoderState first = std::move(read).value();

  // Rewriting drops only duplicates and trailing bytes, so it is never longer.
  const size_t length = vorpak::pickled_size(first);
  check(length <= size, "rewritten form is longer than its input");
  // Exactly sized on the heap so AddressSanitizer catches a write past the end.
  auto buffer = std::make_unique<char[]>(length);
  vorpak::write_pickled_form(first, buffer.get());
  const std::string_view written(buffer.get(), length);

  vorpak::Result<vorpak::EncoderState> reread = vorpak::read_pickled_form(written);
  check(reread.has_value(), "rewritten form does not read");
  const vorpak::EncoderState second = std::move(reread).value();
  check(same(first, second), "rewritten form reads as a different state");
  // Written bytes hold the state in the writer's own order: reading and writing
  // them again, into tables with other hash keys, gives them back exactly.
  auto again = std::make_unique<char[]>(length);
  check(vorpak::pickled_size(second) == length, "rewritten state changed size");
  vorpak::write_pickled_form(second, again.get());
  check(std::string_view(again.get(), length) == written, "rewritten state changed its bytes");
  // The writer emits nothing superfluous: cutting off the last byte must break it.
  check(!vorpak::read_pickled_form(written.substr(0, length - 1)).has_value(),
        "rewritten form still reads without its last byte");
  return 0;
}

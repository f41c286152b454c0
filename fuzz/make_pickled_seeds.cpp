// Writes a seed corpus for pickled_form_fuzz: one file per shape of state the
// reader has to handle, so the fuzzer starts from well-formed inputs.
//
// Usage: make_pickled_seeds DIR
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>

#include "core/pickled_form.hpp"

namespace {

using vorpak::EncoderState;
using vorpak::FittedTables;

EncoderState with(FittedTables info) {
  EncoderState e;
  e.fitted = std::make_unique<const FittedTables>(std::move(info));
  return e;
}

std::string pickled(const EncoderState& e) {
  std::string bytes(vorpak::pickled_size(e), '\0');
  vorpak::write_pickled_form(e, bytes.data());
  return bytes;
}

bool save(const std::string& dir, const char* name, const std::string& bytes) {
  std::ofstream file(dir + "/" + name, std::ios::binary);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!file) std::fprintf(stderr, "make_pickled_seeds: cannot write %s/%s\n", dir.c_str(), name);
  return static_cast<bool>(file);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];

  FittedTables example;
  example.encoded_columns = {0};
  example.encoding_tables[0] = {{"a", 0}, {"b", 1}};
  example.decoding_tables[0] = {{0, "a"}, {1, "b"}};

  FittedTables marker;
  marker.encoded_columns = {1};
  marker.encoding_tables[1] = {{"x", 0}, {"nan", std::nullopt}, {"<NA>", std::nullopt}};
  marker.decoding_tables[1] = {{0, "x"}};

  FittedTables columns;
  columns.encoded_columns = {0, 2, 5};
  columns.encoding_tables[0] = {{"", 0}, {"NaN", std::nullopt}};
  columns.encoding_tables[2] = {{"żółw", 0}, {"🐢", 1}, {"x", UINT64_MAX}};
  columns.encoding_tables[5] = {};
  columns.decoding_tables[0] = {{0, ""}};
  columns.decoding_tables[2] = {{0, "żółw"}, {1, "🐢"}, {UINT64_MAX, "x"}};
  columns.decoding_tables[5] = {};

  bool ok = save(dir, "fresh", pickled(EncoderState{}));
  ok &= save(dir, "empty_state", pickled(with({})));
  ok &= save(dir, "worked_example", pickled(with(example)));
  ok &= save(dir, "marker", pickled(with(marker)));
  ok &= save(dir, "multi_column", pickled(with(columns)));
  ok &= save(dir, "trailing_bytes", pickled(with(example)) + "\x01\xFF");
  return ok ? 0 : 1;
}

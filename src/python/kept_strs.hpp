// The str objects an encode read, kept so that decoding can hand them back.
#pragma once

#include <Python.h>

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "core/keyed_hash.hpp"
#include "python/py_ref.hpp"

namespace vorpak {

// Per encoded column, the exact str that encode first met for each code (null
// where no cell of that column gave the code's text as an exact str: numbers,
// other objects, repaired texts). Decoding then copies a pointer and adds a
// reference where it would otherwise make a new str with the same text, as
// pandas' uniques and scikit-learn's categories hand back their inputs' objects.
//
// Only exact strs are kept: a str refers to no other object, so the kept ones
// form no cycle and keep nothing else alive, and a subclass (whose instances
// may carry state, or whose text may be other than str() of it) never comes
// back from decoding. Columns never share their objects: a str that one column
// met is not handed out for an equal text of another.
class KeptStrs {
 public:
  // Column `column`'s strs by code; the column gets them only if it has none.
  void keep(uint64_t column, std::vector<PyRef> by_code) {
    by_column_.emplace(column, std::move(by_code));
  }
  // The strs of column `column` by code, or nullptr when none were kept.
  const std::vector<PyRef>* column(uint64_t column) const {
    const auto found = by_column_.find(column);
    return found == by_column_.end() ? nullptr : &found->second;
  }
  bool empty() const { return by_column_.empty(); }

 private:
  std::unordered_map<uint64_t, std::vector<PyRef>, KeyedHash> by_column_;
};

// For each of a column's `ncodes` codes, the first of `strs` (the str behind
// each text id, or null) whose id has that code in `code_of_id` (NaN for a
// missing-value marker); null for a code with none, and an empty list when no
// code has one. Pointers are only copied,
// never followed, so this may run on a worker.
std::vector<PyObject*> first_str_of_code(const std::vector<PyObject*>& strs,
                                         const std::vector<double>& code_of_id, size_t ncodes);

// References to `firsts` (from first_str_of_code) as a column's kept strs;
// every non-null one must be alive. Calling thread only: it counts references.
std::vector<PyRef> hold_strs(const std::vector<PyObject*>& firsts);

}  // namespace vorpak

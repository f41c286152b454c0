// The texts of one string column, gathered while its cells are walked.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string_view>
#include <vector>

#include "core/address_index.hpp"
#include "core/label_encode.hpp"
#include "core/open_table.hpp"
#include "python/py_ref.hpp"
#include "core/text_arena.hpp"

namespace vorpak {

// Each distinct source of text gets a small id, which the walk stores in the
// cell's slot of the output buffer; the column job later turns ids into codes.
// A str object is recognised by identity (and kept alive, so its address cannot
// be reused by another object while we hold its text); any other text is copied
// once into the arena and recognised by content. Two ids may still carry equal
// texts (a str and a copy); label encoding merges those.
class TextColumn {
 public:
  // Id of an exact str cell (borrowed). False with an exception pending if its
  // UTF-8 could not be had for a reason other than lone surrogates. The look-up
  // of a str seen before is inline: it runs once per cell of the walk.
  bool add_str(PyObject* str, uint64_t& id) {
    id = by_object_.find(reinterpret_cast<uint64_t>(str));
    return id != AddressIndex::kAbsent || add_new_str(str, id, true);
  }
  // The same for a str this column has not met, which the table keeps alive for
  // the rest of the call, with no Python code left to run that could change the
  // table: it needs no reference of our own, and is not looked up again.
  bool add_distinct_str(PyObject* str, uint64_t& id) { return add_new_str(str, id, false); }
  // Id of a text that no Python object keeps alive.
  uint64_t add_text(std::string_view text);
  // Ids for texts that workers read from a row range's cells, each distinct there,
  // with the str each came from (null where none, or where it was repaired);
  // both lists stay the caller's, the texts' bytes too. Returns the first id; the
  // rest follow in order.
  uint64_t add_read_texts(const std::vector<std::string_view>& texts,
                          const std::vector<PyObject*>& strs);
  // The same for texts that no str holds, each distinct from every other text
  // of the column, as a table of texts gives them.
  // A column with no ids yet takes the list itself, with no copy.
  uint64_t add_distinct_texts(std::vector<std::string_view>&& texts);
  // Id of the text of any object: str() as UTF-8, repaired if it holds lone
  // surrogates. False with the exception of str() pending if that fails.
  bool add_object(PyObject* obj, uint64_t& id);

  // Whether two ids may carry equal texts. None do while every id was added by
  // content (add_text, or add_object of a non-str). The distinct strs that the
  // pool found by address seldom do: their column shares one str between equal
  // cells, so only equal texts held by distinct objects repeat. Texts read in
  // row ranges repeat from range to range, and strs met cell by cell as often
  // as a column of a str per cell repeats its texts.
  Repeats repeats() const {
    if (!identity_ids_) return Repeats::kNone;
    return read_in_ranges_ || strs_met_by_cell_ ? Repeats::kMaybe : Repeats::kFew;
  }

  // The text of every id, in id order.
  const std::vector<std::string_view>& texts() const { return texts_; }
  // The exact str behind every id, in id order; null for an id added by content
  // (a number's text, another object's str(), a repaired text). It ends at the
  // last id that has a str, so that a column of texts alone writes none.
  // Borrowed: each is alive while the walked table is, or while this column
  // keeps it.
  const std::vector<PyObject*>& strs() const { return strs_; }

  // Frees the texts, the strs' list and the look-ups once the column's tables
  // hold copies of its texts: on a column of millions of distinct texts they
  // are a fifth of a fit's peak memory. The ids and the references the column
  // keeps stay. Touches no Python object, so a worker may call it.
  void release_texts();

 private:
  using ContentSlots = TextIdSlots<uint64_t>;

  bool add_new_str(PyObject* str, uint64_t& id, bool track);
  uint64_t new_id(std::string_view text, PyObject* str);
  ContentSlots::Context contents() const { return {texts_, hashes_}; }

  std::vector<std::string_view> texts_;
  // The content hash of each id added by content, which alone are looked up by
  // content; 0 for the others, and it ends at the last id added by content.
  std::vector<uint64_t> hashes_;
  std::vector<PyObject*> strs_;         // the str of each identity id; null for the others
  AddressIndex by_object_;              // str object address -> id
  OpenTable<ContentSlots> by_content_;  // the ids of the texts added by content
  std::vector<PyRef> owners_;
  TextArena arena_;
  uint64_t key_ = 0;
  bool identity_ids_ = false;  // some id was added by its str, or as read, not by content
  bool read_in_ranges_ = false;    // some ids were added as read in a row range
  bool strs_met_by_cell_ = false;  // some ids were added by add_str
};

}  // namespace vorpak

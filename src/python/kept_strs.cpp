#include "python/kept_strs.hpp"

#include <cmath>

#include "core/thread_pool.hpp"

namespace vorpak {

std::vector<PyObject*> first_str_of_code(const std::vector<PyObject*>& strs,
                                         const std::vector<double>& code_of_id, size_t ncodes) {
  std::vector<PyObject*> firsts;
  pool::CancelPoint point;  // runs in a column's job, over millions of ids
  for (size_t id = 0; id < strs.size(); ++id) {
    point.step();
    const double code = code_of_id[id];
    if (strs[id] == nullptr || std::isnan(code)) continue;
    if (firsts.empty()) firsts.resize(ncodes, nullptr);
    PyObject*& first = firsts[static_cast<size_t>(code)];
    if (first == nullptr) first = strs[id];
  }
  return firsts;
}

std::vector<PyRef> hold_strs(const std::vector<PyObject*>& firsts) {
  std::vector<PyRef> held;
  held.reserve(firsts.size());
  for (PyObject* str : firsts) held.push_back(PyRef::borrow(str));
  return held;
}

}  // namespace vorpak

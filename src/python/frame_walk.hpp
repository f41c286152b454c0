// Walking a DataFrame's cells through its columns (see frame_columns).
#pragma once

#include <vector>

#include "python/cell_walk.hpp"
#include "python/frame_columns.hpp"

namespace vorpak {

// Files every cell of the frame's columns into `walk`, exactly as a walk over
// `frame.values` would. Columns whose cells are plain values are read first,
// with no Python code running: Arrow texts and categoricals on the worker pool,
// NumPy columns on this thread meanwhile. Columns with cells that run Python
// code of their own follow, in column order, as the walk over `values` meets
// them. Gives up (no exception pending) where only `values` can tell what the
// frame holds: Arrow bytes that are not UTF-8, codes without a category, an
// interrupt in the first stretch.
Walked walk_frame_columns(std::vector<FrameColumn>& columns, CellWalk& walk);

}  // namespace vorpak

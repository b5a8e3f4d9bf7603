#pragma once
// Reader of plain point lists as scanners and photogrammetry programs export
// them (.xyz, .xyzn, .pwn, .npts): one point per line, six numbers
// "x y z nx ny nz"; further columns (colours, intensities) are ignored, as are
// blank lines and lines that begin with '#'. Normals point outward in these
// files and are stored as read.

#include <cstdio>
#include <string>
#include <string_view>

#include "core/point_set.h"

namespace wendfit {

// Reads the point list at `path` into a new set (positions, normals; values
// absent), printing the reading messages on `console` (nullptr: silent).
// Throws Error "<file>:<line>: <problem> (expected ...)" when the file cannot
// be read, holds no point, a line has fewer than six numbers (a line of three
// says that normals are required), or a number is malformed, NaN, infinite or
// beyond the float range.
PointSet readXyzFile(const std::string& path, std::FILE* console = nullptr);

// The same for a file already in memory; `name` stands for the file in
// messages.
PointSet readXyzData(std::string_view data, const std::string& name, std::FILE* console = nullptr);

}  // namespace wendfit

#pragma once
// Reader of the oriented point file: the count n, then n position triples,
// then n normal triples, as white-space separated text in any layout.

#include <cstdio>
#include <string>

#include "core/point_set.h"

namespace wendfit {

// Reads the oriented point file at `path` into a new set with count = n,
// positions as read and normals stored negated (not rescaled); values stay
// absent. Prints the reading messages and progress counters on `console`
// (nullptr: silent). Text after the last normal is ignored.
// Throws Error "<file>:<line>: <problem> (expected ...)" when the file cannot
// be opened, the count is missing, negative, zero or larger than the file
// could hold (checked before allocating), a number is malformed or not
// finite, or the file ends early.
PointSet readPointFile(const std::string& path, std::FILE* console = nullptr);

}  // namespace wendfit

#pragma once
// Reader of OFF meshes: an optional keyword line (OFF, or a variant such as
// COFF or NOFF whose extra vertex columns are ignored), the counts
// "vertices faces edges", one vertex "x y z" per line, then one polygon
// "k i0 ... i(k-1)" per line of 0-based indices (a colour after the indices is
// ignored); '#' starts a comment. The vertices become the points and their
// normals are estimated from the faces exactly as for .ply2 meshes.

#include <cstdio>
#include <string>
#include <string_view>

#include "core/point_set.h"
#include "io/format_support.h"
#include "io/mesh_data.h"

namespace wendfit {

// Reads the OFF file at `path` into a new set (positions, estimated unit
// normals or zero vectors for vertices without faces; values absent),
// printing the mesh reading messages on `console` (nullptr: silent).
// Throws Error "<file>:<line>: <problem> (expected ...)" when the file cannot
// be read or is empty, the keyword is not an OFF variant, a count is missing,
// negative or larger than the file could hold (checked before allocating),
// there are no vertices, a number is malformed or not finite, a face has fewer
// than 3 vertices or an index out of range, or the file ends early.
PointSet readOffFile(const std::string& path, std::FILE* console = nullptr);
// The same, also returning the polygons as read in *faces (none for points).
PointSet readOffFile(const std::string& path, std::FILE* console, FaceList* faces);

// The same for a file already in memory; `name` stands for the file in
// messages.
PointSet readOffData(std::string_view data, const std::string& name, std::FILE* console = nullptr);

// The mesh-shaped result under the rules of `purpose` (see ReadPurpose),
// for a file already in memory; `name` stands for the file in messages.
// The PointSet readers above are this with ReadPurpose::kPoints followed by
// pointsFromMesh.
MeshData readOffMesh(std::string_view data, const std::string& name, ReadPurpose purpose,
                     std::FILE* console = nullptr);

}  // namespace wendfit

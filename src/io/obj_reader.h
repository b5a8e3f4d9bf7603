#pragma once
// Reader of Wavefront OBJ files: "v x y z" vertex lines (a w or colour after
// them is ignored), "vn" normal lines and "f" polygon lines whose entries are
// 1-based vertex indices in the forms a, a/b, a/b/c and a//c, negative ones
// counting back from the last vertex defined so far. Every other line (vt,
// g, o, usemtl, '#' comments, ...) is skipped.
//
// A file with faces is a mesh: its normals are estimated from the faces
// exactly as for .ply2 meshes. A file of v and vn lines alone is a point
// cloud: the i-th vn line is the normal of the i-th vertex, stored as read
// (OBJ normals point outward).

#include <cstdio>
#include <string>
#include <string_view>

#include "core/point_set.h"
#include "io/format_support.h"
#include "io/mesh_data.h"

namespace wendfit {

// Reads the OBJ file at `path` into a new set (positions, normals; values
// absent), printing the reading messages on `console` (nullptr: silent).
// Throws Error "<file>:<line>: <problem> (expected ...)" when the file cannot
// be read or is empty, has no vertex, a number is malformed or not finite, a
// face has fewer than 3 vertices or an index that is 0 or out of range, or a
// file without faces has no normals or not one per vertex.
PointSet readObjFile(const std::string& path, std::FILE* console = nullptr);
// The same, also returning the polygons as read in *faces (none for points).
PointSet readObjFile(const std::string& path, std::FILE* console, FaceList* faces);

// The same for a file already in memory; `name` stands for the file in
// messages.
PointSet readObjData(std::string_view data, const std::string& name, std::FILE* console = nullptr);

// The mesh-shaped result under the rules of `purpose` (see ReadPurpose),
// for a file already in memory; `name` stands for the file in messages.
// The PointSet readers above are this with ReadPurpose::kPoints followed by
// pointsFromMesh.
MeshData readObjMesh(std::string_view data, const std::string& name, ReadPurpose purpose,
                     std::FILE* console = nullptr);

}  // namespace wendfit

#pragma once
// Reader of PLY files (ascii, binary_little_endian, binary_big_endian), the
// format most scanners and photogrammetry programs write, into oriented
// points.
//
// The vertex element gives the points: properties x, y, z (required) and
// nx, ny, nz (used when present, stored as read: PLY normals point outward),
// in any order and of any PLY scalar type (char/int8, uchar/uint8,
// short/int16, ushort/uint16, int/int32, uint/uint32, float/float32,
// double/float64). Other vertex properties and other elements are skipped.
// A file without normals but with a face element ("list <count type> <index
// type> vertex_indices", or vertex_index) is a mesh: its vertex normals are
// estimated from the faces exactly as for .ply2 meshes, polygons fanned.
// Coordinates become the nearest float.

#include <cstdio>
#include <string>
#include <string_view>

#include "core/point_set.h"
#include "io/format_support.h"
#include "io/mesh_data.h"

namespace wendfit {

// Reads the PLY file at `path` into a new set (count = vertices, positions,
// normals; values absent). Prints the reading messages on `console`
// (nullptr: silent). Throws Error naming the file (and the header line or
// the element) when the file cannot be read, the header is malformed (not
// beginning with the line "ply", unknown format or scalar type, no
// end_header), declares more data than the file holds (checked before
// allocating), has no vertices or lacks x/y/z, when a point cloud has no
// normals, a face has fewer than 3 vertices or an index out of range, a
// coordinate or normal is NaN, infinite or beyond the float range, or the
// data ends early.
PointSet readPlyFile(const std::string& path, std::FILE* console = nullptr);
// The same, also returning the polygons as read in *faces (none for points).
PointSet readPlyFile(const std::string& path, std::FILE* console, FaceList* faces);

// The same for a file already in memory; `name` stands for the file in
// messages.
PointSet readPlyData(std::string_view data, const std::string& name, std::FILE* console = nullptr);

// The mesh-shaped result under the rules of `purpose` (see ReadPurpose),
// for a file already in memory; `name` stands for the file in messages.
// The PointSet readers above are this with ReadPurpose::kPoints followed by
// pointsFromMesh.
MeshData readPlyMesh(std::string_view data, const std::string& name, ReadPurpose purpose,
                     std::FILE* console = nullptr);

}  // namespace wendfit

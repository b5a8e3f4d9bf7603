#pragma once
// Reader of meshes in the .ply2 text format, turned into oriented points: the
// vertices become the points and each vertex normal is the normalised sum of
// the area-weighted normals of the faces around it. The normal estimation is
// exposed on its own so that every mesh reader shares it.

#include <cstdio>
#include <string>
#include <vector>

#include "core/point_set.h"

namespace wendfit {
struct FaceList;
}

namespace wendfit {

// Reads the .ply2 file at `path`: vertex count n, face count m, n vertex
// triples, then m faces "k i0 ... i(k-1)" of 0-based vertex indices. Returns
// a new set with the vertices as positions, unit vertex normals (zero vectors
// for vertices without a non-degenerate face) and values absent. Prints the
// reading messages and progress counters on `console` (nullptr: silent).
// A face with k = 3 is the triangle (i0, i1, i2); a face with k > 3 is the
// polygon fanned from i0 (see accumulateFaceNormal).
// Throws Error "<file>:<line>: <problem> (expected ...)" when the file cannot
// be opened, a count is missing, negative or larger than the file could hold
// (checked before allocating), n is 0, a number is malformed or not finite, a
// face has fewer than 3 vertices, an index lies outside 0 ... n-1, or the
// file ends early.
// `faces`, when given, receives the polygons as read.
PointSet readMeshFile(const std::string& path, std::FILE* console = nullptr);
PointSet readMeshFile(const std::string& path, std::FILE* console, FaceList* faces);

// Sets every normal of `set` to (0, 0, 0), allocating normals if absent.
void clearNormals(PointSet& set);

// Adds the area-weighted normal of one face to the normals of its `k`
// vertices `indices[0..k-1]` (each must be below set.count; k >= 3), in
// this order. The face normal is the float sum of the cross products
// (P[b] - P[a]) x (P[c] - P[a]) of its fan triangles (i0, i1, i2),
// (i0, i2, i3), ...; for a triangle that is twice its area times its unit
// normal, on the side from which i0, i1, i2 run counter-clockwise.
void accumulateFaceNormal(PointSet& set, const int* indices, int k);

// Scales every non-zero normal of `set` to unit length; zero normals stay zero.
void normalizeNormals(PointSet& set);

// All three steps for faces given as one flat index list: face f has the
// vertices faceIndices[faceStarts[f] .. faceStarts[f + 1]). Indices must be
// valid and every face must have at least 3 vertices; otherwise throws Error
// (naming the face, not a file) before any normal changes.
void estimateVertexNormals(PointSet& set, const std::vector<int>& faceStarts,
                           const std::vector<int>& faceIndices);

}  // namespace wendfit

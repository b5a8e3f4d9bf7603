#pragma once
// Oriented points sampled on the faces of a polygon mesh, so that a coarse
// mesh is fitted by its surface and not by its few vertices (whose normals,
// averaged over faces meeting at sharp edges, would round off every corner
// and close every hole smaller than the spacing of the vertices).

#include <cstdint>
#include <vector>

#include "io/format_support.h"
#include "core/point_set.h"

namespace wendfit {

// A triangle of a face: its corners' vertex indices, turning as the face.
struct FaceTriangle {
  int corner[3];
};

// Appends the triangles of the polygon `face` of `k` corners (none when
// k < 3): a convex polygon fanned from its first corner, a concave one cut
// into ears. Indices must be valid.
void appendFaceTriangles(const PointSet& vertices, const int* face, int k, std::vector<FaceTriangle>& triangles);

// Twice the triangle's area vector (along its counter-clockwise normal), in
// double.
void triangleCross(const PointSet& vertices, const FaceTriangle& t, double n[3]);

// How many samples a mesh gets by default: enough for about
// kSamplesAcrossDiagonal samples along its box diagonal at the density the
// surface area allows (count = kSamplesAcrossDiagonal^2 * area / diagonal^2),
// and never fewer than the mesh has vertices.
inline constexpr double kSamplesAcrossDiagonal = 256.0;

// The default sample count for the mesh of `vertices` (positions) and
// `faces` (polygons: convex ones fanned from their first vertex, concave
// ones cut into ears), at most INT32_MAX.
// Indices must be valid.
long defaultSampleCount(const PointSet& vertices, const FaceList& faces);

// `count` points spread uniformly by area over the faces (polygons
// triangulated as above): the triangle is drawn with probability
// proportional to its area, the point uniformly inside it. Each point's
// normal is its triangle's unit normal, on the side from which the corners
// run counter-clockwise. The same seed gives the same points on any machine.
// Throws Error when the faces have no area or `count` is not positive;
// indices must be valid (the readers check them).
PointSet sampleMeshFaces(const PointSet& vertices, const FaceList& faces, long count, uint64_t seed);

}  // namespace wendfit

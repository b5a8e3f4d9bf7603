#pragma once
// Where a mesh passes through itself. Two triangles that share no vertex
// but pass through each other make a surface that is not the boundary of a solid:
// ray casts, volume and inside tests downstream go wrong there.

#include <vector>

#include "wendfit/mesh.h"

namespace wendfit {

// Whether the triangles with corners a0 a1 a2 and b0 b1 b2 (3 floats each)
// pass through each other: an edge of one pierces the other's interior.
// Mere contact and coplanar pairs count as apart.
bool trianglesCross(const float* a0, const float* a1, const float* a2, const float* b0, const float* b1,
                    const float* b2);

// For each triangle of `mesh` flagged in `check`, whether it crosses a
// triangle of the mesh with which it shares no vertex; triangles not
// flagged get 0. The same flags on any thread count.
std::vector<char> crossingTriangles(const TriangleMesh& mesh, const std::vector<char>& check);

// The same for the triangles that hold a vertex flagged in `marked` (one
// flag per vertex): where vertices moved, only their triangles can have
// come to cross.
std::vector<char> crossingTrianglesAround(const TriangleMesh& mesh, const std::vector<char>& marked);

}  // namespace wendfit

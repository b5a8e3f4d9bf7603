#pragma once
// Reading triangle meshes back: PLY (ASCII or binary little-endian, any
// scalar property types, x y z and optional nx ny nz), OBJ, OFF/NOFF and
// binary STL (identical corners welded into one vertex), by extension. Used by the tests and the ground-truth benchmark to check what
// the writer produced, so it trusts nothing: counts are checked against the
// file before anything is allocated, every number is checked, non-finite
// coordinates and out-of-range indices are rejected, and faces must be
// triangles.

#include <string>
#include <vector>

#include "mesh/surface_extractor.h"
#include "mesh/vertex_property.h"

namespace wendfit {

// Reads the mesh at `path`. `quality`, when given, receives the PLY vertex
// property `quality`, one value per vertex (empty when the file has none).
// Throws Error "<path>[:<line>]: <problem>" for an unreadable file, an
// unknown extension or malformed content.
TriangleMesh readMesh(const std::string& path, std::vector<float>* quality = nullptr);

// The same, with `properties` (when given) receiving every PLY vertex
// property other than x y z nx ny nz, by name in file order, one value per
// vertex (empty for OBJ and OFF).
TriangleMesh readMesh(const std::string& path, std::vector<VertexProperty>* properties);

}  // namespace wendfit

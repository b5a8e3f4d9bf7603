#pragma once
// The curvature of a fitted surface at the vertices of its extracted mesh,
// from the exact derivatives of the function (function/exact_derivatives.h)
// at each vertex: the curvature of the level set through the vertex, which
// for a vertex on the zero set is the surface's own.

#include <vector>

#include "function/implicit_function.h"
#include "mesh/surface_extractor.h"
#include "core/vertex_property.h"

namespace wendfit {

// True when the normals and winding of a mesh that extractSurface made with
// `options` point towards the function's lower values (the default for a
// fit, which is positive inside): `stats` is that extraction's.
bool normalsTowardsLower(const ExtractionStats& stats, const ExtractionOptions& options);

// Four properties per vertex of `mesh`, in this order: mean_curvature,
// gaussian_curvature, k1 and k2 (principal curvatures, k1 >= k2). Signs
// follow the mesh's normals: a surface that bends away from the side its
// normals point to is positive, so the outward-facing mesh of a ball of
// radius r gets 1/r, 1/r^2, 1/r, 1/r. `normalsTowardsLower` tells that side
// (see above). Positions are read in the function's coordinates; the
// curvatures are per unit of the coordinates the mesh is written in, those
// divided by `inputScale` (the fit's scale factor gives the input's units),
// so they are multiplied by it (the Gaussian by its square). A vertex where
// the gradient vanishes gets 0 in all four. Evaluated in parallel; the
// values do not depend on the number of threads.
std::vector<VertexProperty> vertexCurvatures(const ImplicitFunction& function, const TriangleMesh& mesh,
                                             bool normalsTowardsLower, double inputScale = 1.0);

}  // namespace wendfit

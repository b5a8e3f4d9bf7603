#include "mesh/vertex_curvature.h"

#include "function/exact_derivatives.h"

namespace wendfit {

bool normalsTowardsLower(const ExtractionStats& stats, const ExtractionOptions& options) {
  return stats.outsideNegative != options.flip;
}

std::vector<VertexProperty> vertexCurvatures(const ImplicitFunction& function, const TriangleMesh& mesh,
                                             bool towardsLower, double inputScale) {
  const long count = mesh.vertexCount();
  std::vector<VertexProperty> properties = {{"mean_curvature", std::vector<float>(count)},
                                            {"gaussian_curvature", std::vector<float>(count)},
                                            {"k1", std::vector<float>(count)},
                                            {"k2", std::vector<float>(count)}};
  float* mean = properties[0].values.data();
  float* gaussian = properties[1].values.data();
  float* k1 = properties[2].values.data();
  float* k2 = properties[3].values.data();
  // The level-set curvature is signed for the normal along the gradient, to
  // higher values; against it, curvatures change sign and k1, k2 swap roles.
  const double sign = towardsLower ? -1.0 : 1.0;
  const double areaScale = inputScale * inputScale;
#pragma omp parallel for schedule(dynamic, 1024)
  for (long v = 0; v < count; ++v) {
    const float* p = &mesh.positions[3 * v];
    const LevelSetCurvature c = exactCurvature(function, p[0], p[1], p[2]);
    mean[v] = static_cast<float>(sign * c.mean * inputScale);
    gaussian[v] = static_cast<float>(c.gaussian * areaScale);
    const double larger = towardsLower ? -c.k2 : c.k1;
    const double smaller = towardsLower ? -c.k1 : c.k2;
    k1[v] = static_cast<float>(larger * inputScale);
    k2[v] = static_cast<float>(smaller * inputScale);
  }
  return properties;
}

}  // namespace wendfit

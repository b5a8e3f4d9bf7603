#include "mesh/face_sampling.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "core/error.h"

namespace wendfit {

namespace {

struct Triangle {
  int corner[3];
};

// The fan triangles of every face, in face order.
std::vector<Triangle> fanTriangles(const FaceList& faces) {
  std::vector<Triangle> triangles;
  for (int f = 0; f < faces.count(); ++f) {
    const int* face = &faces.indices[faces.starts[f]];
    const int k = faces.starts[f + 1] - faces.starts[f];
    for (int j = 1; j + 1 < k; ++j) triangles.push_back({{face[0], face[j], face[j + 1]}});
  }
  return triangles;
}

// Twice the area vector of a triangle, in double.
void crossOf(const PointSet& vertices, const Triangle& t, double n[3]) {
  const float* a = vertices.position(t.corner[0]);
  const float* b = vertices.position(t.corner[1]);
  const float* c = vertices.position(t.corner[2]);
  double e1[3];
  double e2[3];
  for (int k = 0; k < 3; ++k) {
    e1[k] = static_cast<double>(b[k]) - a[k];
    e2[k] = static_cast<double>(c[k]) - a[k];
  }
  n[0] = e1[1] * e2[2] - e1[2] * e2[1];
  n[1] = e1[2] * e2[0] - e1[0] * e2[2];
  n[2] = e1[0] * e2[1] - e1[1] * e2[0];
}

double areaOf(const PointSet& vertices, const Triangle& t) {
  double n[3];
  crossOf(vertices, t, n);
  return 0.5 * std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
}

// A uniform number in [0, 1) from the top 53 bits of the generator's output:
// the standard distributions may differ between library implementations.
double uniform(std::mt19937_64& generator) {
  return static_cast<double>(generator() >> 11) * 0x1.0p-53;
}

}  // namespace

long defaultSampleCount(const PointSet& vertices, const FaceList& faces) {
  double area = 0.0;
  for (const Triangle& t : fanTriangles(faces)) area += areaOf(vertices, t);
  float lo[3];
  float hi[3];
  vertices.boundingBox(lo, hi, 1.0f);
  double diagonalSq = 0.0;
  for (int k = 0; k < 3; ++k) {
    const double side = static_cast<double>(hi[k]) - lo[k];
    diagonalSq += side * side;
  }
  double count = diagonalSq > 0.0 ? std::ceil(kSamplesAcrossDiagonal * kSamplesAcrossDiagonal * area / diagonalSq) : 0.0;
  count = std::max(count, static_cast<double>(vertices.count));
  return static_cast<long>(std::min(count, static_cast<double>(INT32_MAX)));
}

PointSet sampleMeshFaces(const PointSet& vertices, const FaceList& faces, long count, uint64_t seed) {
  if (count <= 0 || count > INT32_MAX) {
    throw Error("cannot draw " + std::to_string(count) + " samples (expected 1 ... " + std::to_string(INT32_MAX) + ")");
  }
  const std::vector<Triangle> triangles = fanTriangles(faces);
  // Running sums of the areas: a triangle of zero area has an empty interval
  // and is never drawn.
  std::vector<double> cumulative(triangles.size());
  double total = 0.0;
  for (size_t t = 0; t < triangles.size(); ++t) {
    total += areaOf(vertices, triangles[t]);
    cumulative[t] = total;
  }
  if (!(total > 0.0) || !std::isfinite(total)) {
    throw Error("the mesh's " + std::to_string(triangles.size()) +
                " triangles have no area to sample (expected faces of non-zero area)");
  }
  PointSet samples;
  samples.allocate(static_cast<int>(count));
  std::mt19937_64 generator(seed);
  for (int i = 0; i < samples.count; ++i) {
    const double target = uniform(generator) * total;
    size_t t = static_cast<size_t>(std::upper_bound(cumulative.begin(), cumulative.end(), target) - cumulative.begin());
    t = std::min(t, triangles.size() - 1);
    while (t > 0 && cumulative[t] == cumulative[t - 1]) --t;  // only when target hit the very end
    const Triangle& triangle = triangles[t];
    // Uniform in the triangle: the square root makes the density flat
    // between the first corner and the opposite edge.
    const double s = std::sqrt(uniform(generator));
    const double r = uniform(generator);
    const double weight[3] = {1.0 - s, s * (1.0 - r), s * r};
    double p[3] = {0.0, 0.0, 0.0};
    for (int c = 0; c < 3; ++c) {
      const float* corner = vertices.position(triangle.corner[c]);
      for (int k = 0; k < 3; ++k) p[k] += weight[c] * corner[k];
    }
    double n[3];
    crossOf(vertices, triangle, n);
    const double length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    samples.setPosition(i, static_cast<float>(p[0]), static_cast<float>(p[1]), static_cast<float>(p[2]));
    samples.setNormal(i, static_cast<float>(n[0] / length), static_cast<float>(n[1] / length),
                      static_cast<float>(n[2] / length));
  }
  return samples;
}

}  // namespace wendfit

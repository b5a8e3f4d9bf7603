#include "mesh/face_sampling.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "core/error.h"

namespace wendfit {

namespace {

// Polygons with more corners than this are fanned whatever their shape.
constexpr int kMostClippedCorners = 256;

// The face's corners projected on the coordinate plane across the largest
// component of its (Newell) normal, turning counter-clockwise there.
std::vector<std::array<double, 2>> projectedCorners(const PointSet& vertices, const int* face, int k) {
  double normal[3] = {0.0, 0.0, 0.0};
  for (int j = 0; j < k; ++j) {
    const float* a = vertices.position(face[j]);
    const float* b = vertices.position(face[(j + 1) % k]);
    for (int m = 0; m < 3; ++m) {
      const int u = (m + 1) % 3, v = (m + 2) % 3;
      normal[m] += (static_cast<double>(a[u]) - b[u]) * (static_cast<double>(a[v]) + b[v]);
    }
  }
  int axis = 0;
  for (int m = 1; m < 3; ++m) {
    if (std::fabs(normal[m]) > std::fabs(normal[axis])) axis = m;
  }
  const int u = (axis + 1) % 3, v = (axis + 2) % 3;
  const double turn = normal[axis] < 0.0 ? -1.0 : 1.0;
  std::vector<std::array<double, 2>> corners(k);
  for (int j = 0; j < k; ++j) {
    const float* p = vertices.position(face[j]);
    corners[j] = {static_cast<double>(p[u]), turn * static_cast<double>(p[v])};
  }
  return corners;
}

double cross2(const std::array<double, 2>& a, const std::array<double, 2>& b, const std::array<double, 2>& c) {
  return (b[0] - a[0]) * (c[1] - a[1]) - (b[1] - a[1]) * (c[0] - a[0]);
}

// The triangles of every face, in face order.
std::vector<FaceTriangle> faceTriangles(const PointSet& vertices, const FaceList& faces) {
  std::vector<FaceTriangle> triangles;
  for (int f = 0; f < faces.count(); ++f) {
    appendFaceTriangles(vertices, &faces.indices[faces.starts[f]], faces.starts[f + 1] - faces.starts[f],
                        triangles);
  }
  return triangles;
}

double areaOf(const PointSet& vertices, const FaceTriangle& t) {
  double n[3];
  triangleCross(vertices, t, n);
  return 0.5 * std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
}

// A uniform number in [0, 1) from the top 53 bits of the generator's output:
// the standard distributions may differ between library implementations.
double uniform(std::mt19937_64& generator) {
  return static_cast<double>(generator() >> 11) * 0x1.0p-53;
}

}  // namespace

// A concave polygon (an L-shaped face of a CAD mesh), whose fan would
// reach outside it and fold back, is cut into ears.
void appendFaceTriangles(const PointSet& vertices, const int* face, int k, std::vector<FaceTriangle>& triangles) {
  if (k < 3) return;
  if (k == 3) {
    triangles.push_back({{face[0], face[1], face[2]}});
    return;
  }
  const std::vector<std::array<double, 2>> corners = projectedCorners(vertices, face, k);
  bool convex = true;
  for (int j = 0; j < k && convex; ++j) convex = cross2(corners[j], corners[(j + 1) % k], corners[(j + 2) % k]) >= 0.0;
  std::vector<int> left(k);
  for (int j = 0; j < k; ++j) left[j] = j;
  if (!convex && k <= kMostClippedCorners) {
    while (left.size() > 3) {
      const int n = static_cast<int>(left.size());
      int ear = -1;
      for (int e = 0; e < n && ear < 0; ++e) {
        const auto& a = corners[left[(e + n - 1) % n]];
        const auto& b = corners[left[e]];
        const auto& c = corners[left[(e + 1) % n]];
        if (!(cross2(a, b, c) > 0.0)) continue;
        bool empty = true;
        for (int o = 0; o < n && empty; ++o) {
          if (o == e || o == (e + n - 1) % n || o == (e + 1) % n) continue;
          const auto& q = corners[left[o]];
          empty = !(cross2(a, b, q) >= 0.0 && cross2(b, c, q) >= 0.0 && cross2(c, a, q) >= 0.0);
        }
        if (empty) ear = e;
      }
      // No ear: a polygon that crosses itself; the rest is fanned.
      if (ear < 0) break;
      triangles.push_back({{face[left[(ear + n - 1) % n]], face[left[ear]], face[left[(ear + 1) % n]]}});
      left.erase(left.begin() + ear);
    }
  }
  for (size_t j = 1; j + 1 < left.size(); ++j) {
    triangles.push_back({{face[left[0]], face[left[j]], face[left[j + 1]]}});
  }
}

void triangleCross(const PointSet& vertices, const FaceTriangle& t, double n[3]) {
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

long defaultSampleCount(const PointSet& vertices, const FaceList& faces) {
  double area = 0.0;
  for (const FaceTriangle& t : faceTriangles(vertices, faces)) area += areaOf(vertices, t);
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
  const std::vector<FaceTriangle> triangles = faceTriangles(vertices, faces);
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
    const FaceTriangle& triangle = triangles[t];
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
    triangleCross(vertices, triangle, n);
    const double length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    samples.setPosition(i, static_cast<float>(p[0]), static_cast<float>(p[1]), static_cast<float>(p[2]));
    samples.setNormal(i, static_cast<float>(n[0] / length), static_cast<float>(n[1] / length),
                      static_cast<float>(n[2] / length));
  }
  return samples;
}

}  // namespace wendfit

#include "mesh/face_orientation.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "mesh/face_sampling.h"

namespace wendfit {

namespace {

// One side of an edge: the face that has it, and whether the face runs it
// from its lower vertex index to its higher one.
struct EdgeSide {
  uint64_t key;
  int face;
  bool upward;
};

// Twice the area and six times the signed volume (against the origin) of a
// face, from its triangles as the sampling cuts it, in double.
void faceMeasures(const PointSet& vertices, const int* face, int k, std::vector<FaceTriangle>& triangles,
                  double& area, double& volume) {
  area = 0.0;
  volume = 0.0;
  triangles.clear();
  appendFaceTriangles(vertices, face, k, triangles);
  for (const FaceTriangle& t : triangles) {
    double n[3];
    triangleCross(vertices, t, n);
    area += std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    // a . (b x c) = a . ((b - a) x (c - a))
    const float* a = vertices.position(t.corner[0]);
    volume += static_cast<double>(a[0]) * n[0] + static_cast<double>(a[1]) * n[1] +
              static_cast<double>(a[2]) * n[2];
  }
}

}  // namespace

long orientFacesConsistently(const PointSet& vertices, FaceList& faces, FaceParts* shape) {
  const int count = faces.count();
  if (shape) *shape = FaceParts{};
  if (count == 0) return 0;
  std::vector<EdgeSide> sides;
  sides.reserve(faces.indices.size());
  for (int f = 0; f < count; ++f) {
    const int first = faces.starts[f];
    const int k = faces.starts[f + 1] - first;
    for (int j = 0; j < k; ++j) {
      const int u = faces.indices[first + j];
      const int v = faces.indices[first + (j + 1) % k];
      if (u == v) continue;
      const uint64_t low = static_cast<uint32_t>(std::min(u, v));
      const uint64_t high = static_cast<uint32_t>(std::max(u, v));
      sides.push_back({(low << 32) | high, f, u < v});
    }
  }
  std::sort(sides.begin(), sides.end(), [](const EdgeSide& a, const EdgeSide& b) {
    return a.key != b.key ? a.key < b.key : a.face < b.face;
  });

  // Neighbours across the edges of exactly two faces, and whether the two
  // run their edge the same way (one of them must turn then).
  std::vector<int> degree(count + 1, 0);
  std::vector<char> open(count, 0);
  bool everyEdgeTwice = true;
  for (size_t e = 0; e < sides.size();) {
    size_t end = e + 1;
    while (end < sides.size() && sides[end].key == sides[e].key) ++end;
    if (end - e == 2 && sides[e].face != sides[e + 1].face) {
      ++degree[sides[e].face + 1];
      ++degree[sides[e + 1].face + 1];
    } else {
      everyEdgeTwice = false;
      if (end - e == 1) open[sides[e].face] = 1;
    }
    e = end;
  }
  for (int f = 0; f < count; ++f) degree[f + 1] += degree[f];
  std::vector<std::pair<int, bool>> neighbours(degree[count]);
  std::vector<int> filled(degree.begin(), degree.end() - 1);
  for (size_t e = 0; e < sides.size();) {
    size_t end = e + 1;
    while (end < sides.size() && sides[end].key == sides[e].key) ++end;
    if (end - e == 2 && sides[e].face != sides[e + 1].face) {
      const bool same = sides[e].upward == sides[e + 1].upward;
      neighbours[filled[sides[e].face]++] = {sides[e + 1].face, same};
      neighbours[filled[sides[e + 1].face]++] = {sides[e].face, same};
    }
    e = end;
  }

  // Each connected part, from its first face: a neighbour turns exactly
  // when it runs the shared edge the same way as the face it is reached
  // from (after that face's own turn).
  std::vector<char> turn(count, 0), seen(count, 0);
  std::vector<int> part, stack;
  std::vector<FaceTriangle> triangles;
  long reversed = 0;
  long parts = 0;
  for (int root = 0; root < count; ++root) {
    if (seen[root]) continue;
    ++parts;
    part.clear();
    stack.assign(1, root);
    seen[root] = 1;
    while (!stack.empty()) {
      const int f = stack.back();
      stack.pop_back();
      part.push_back(f);
      for (int e = degree[f]; e < degree[f + 1]; ++e) {
        const int g = neighbours[e].first;
        if (seen[g]) continue;
        seen[g] = 1;
        turn[g] = static_cast<char>(turn[f] ^ static_cast<char>(neighbours[e].second));
        stack.push_back(g);
      }
    }
    bool anyTurn = false, closed = true;
    double turnedArea = 0.0, keptArea = 0.0, volume = 0.0;
    for (int f : part) {
      double area = 0.0, faceVolume = 0.0;
      faceMeasures(vertices, &faces.indices[faces.starts[f]], faces.starts[f + 1] - faces.starts[f], triangles,
                   area, faceVolume);
      anyTurn = anyTurn || turn[f];
      closed = closed && !open[f];
      (turn[f] ? turnedArea : keptArea) += area;
      volume += turn[f] ? -faceVolume : faceVolume;
    }
    if (!anyTurn) continue;
    const bool complement = closed ? volume < 0.0 : turnedArea > keptArea;
    for (int f : part) {
      if (!(turn[f] ^ static_cast<char>(complement))) continue;
      // Keeping the first corner keeps the same fan triangles.
      std::reverse(faces.indices.begin() + faces.starts[f] + 1, faces.indices.begin() + faces.starts[f + 1]);
      ++reversed;
    }
  }
  if (shape) *shape = FaceParts{parts, everyEdgeTwice};
  return reversed;
}

}  // namespace wendfit

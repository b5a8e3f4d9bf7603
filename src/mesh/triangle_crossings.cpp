#include "mesh/triangle_crossings.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include <omp.h>

namespace wendfit {

namespace {

// Six times the signed volume of the tetrahedron a b c d.
double orient(const float* a, const float* b, const float* c, const float* d) {
  double u[3], v[3], w[3];
  for (int k = 0; k < 3; ++k) {
    u[k] = static_cast<double>(b[k]) - a[k];
    v[k] = static_cast<double>(c[k]) - a[k];
    w[k] = static_cast<double>(d[k]) - a[k];
  }
  return u[0] * (v[1] * w[2] - v[2] * w[1]) - u[1] * (v[0] * w[2] - v[2] * w[0]) +
         u[2] * (v[0] * w[1] - v[1] * w[0]);
}

// Whether the segment p q passes through the triangle a b c: its ends on
// either side of the plane and the line through the interior. Contact at an
// end, an edge or a corner does not count: where the extraction leaves two
// vertices at one place, triangles meet there without passing through each
// other.
bool segmentPiercesTriangle(const float* p, const float* q, const float* a, const float* b, const float* c) {
  const double dp = orient(a, b, c, p), dq = orient(a, b, c, q);
  if (!((dp > 0.0 && dq < 0.0) || (dp < 0.0 && dq > 0.0))) return false;
  const double s1 = orient(p, q, a, b), s2 = orient(p, q, b, c), s3 = orient(p, q, c, a);
  return (s1 > 0.0 && s2 > 0.0 && s3 > 0.0) || (s1 < 0.0 && s2 < 0.0 && s3 < 0.0);
}

const float* corner(const TriangleMesh& mesh, long t, int k) {
  return &mesh.positions[3 * static_cast<size_t>(mesh.triangles[3 * static_cast<size_t>(t) + k])];
}

bool shareVertex(const int* a, const int* b) {
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      if (a[i] == b[j]) return true;
    }
  }
  return false;
}

// The most buckets of the grid that finds neighbouring triangles.
constexpr double kMostBuckets = 1 << 22;

}  // namespace

bool trianglesCross(const float* a0, const float* a1, const float* a2, const float* b0, const float* b1,
                    const float* b2) {
  // Apart when their boxes are, or when one lies wholly on one side of the
  // other's plane; otherwise, triangles out of one plane pass through each
  // other where an edge of one pierces the other.
  for (int k = 0; k < 3; ++k) {
    if (std::max({a0[k], a1[k], a2[k]}) < std::min({b0[k], b1[k], b2[k]}) ||
        std::max({b0[k], b1[k], b2[k]}) < std::min({a0[k], a1[k], a2[k]})) {
      return false;
    }
  }
  auto oneSide = [](double x, double y, double z) {
    return (x >= 0 && y >= 0 && z >= 0) || (x <= 0 && y <= 0 && z <= 0);
  };
  if (oneSide(orient(b0, b1, b2, a0), orient(b0, b1, b2, a1), orient(b0, b1, b2, a2)) ||
      oneSide(orient(a0, a1, a2, b0), orient(a0, a1, a2, b1), orient(a0, a1, a2, b2))) {
    return false;
  }
  return segmentPiercesTriangle(a0, a1, b0, b1, b2) || segmentPiercesTriangle(a1, a2, b0, b1, b2) ||
         segmentPiercesTriangle(a2, a0, b0, b1, b2) || segmentPiercesTriangle(b0, b1, a0, a1, a2) ||
         segmentPiercesTriangle(b1, b2, a0, a1, a2) || segmentPiercesTriangle(b2, b0, a0, a1, a2);
}

std::vector<char> crossingTriangles(const TriangleMesh& mesh, const std::vector<char>& check) {
  const long triangleCount = mesh.triangleCount();
  std::vector<char> crossing(static_cast<size_t>(triangleCount), 0);
  std::vector<long> checked;
  for (long t = 0; t < triangleCount; ++t) {
    if (check[t]) checked.push_back(t);
  }
  if (checked.empty()) return crossing;

  // A grid of buckets over the mesh's box, as wide as the largest triangle
  // (so that each spans at most two along each axis) unless that makes too
  // many.
  double lower[3], upper[3];
  for (int k = 0; k < 3; ++k) {
    double low = INFINITY, high = -INFINITY;
    const long vertexCount = mesh.vertexCount();
#pragma omp parallel for schedule(static) reduction(min : low) reduction(max : high)
    for (long v = 0; v < vertexCount; ++v) {
      const double x = mesh.positions[3 * static_cast<size_t>(v) + k];
      low = std::min(low, x);
      high = std::max(high, x);
    }
    lower[k] = low;
    upper[k] = high;
  }
  auto extent = [&](long t, int k, double& low, double& high) {
    const double a = corner(mesh, t, 0)[k], b = corner(mesh, t, 1)[k], c = corner(mesh, t, 2)[k];
    low = std::min({a, b, c});
    high = std::max({a, b, c});
  };
  double width = 0.0;
#pragma omp parallel for schedule(static) reduction(max : width)
  for (long t = 0; t < triangleCount; ++t) {
    double w = 0.0;
    for (int k = 0; k < 3; ++k) {
      double low, high;
      extent(t, k, low, high);
      w = std::max(w, high - low);
    }
    width = std::max(width, w);
  }
  if (!(width > 0.0) || !std::isfinite(width)) return crossing;
  long dims[3];
  for (;;) {
    double buckets = 1.0;
    for (int k = 0; k < 3; ++k) {
      dims[k] = static_cast<long>((upper[k] - lower[k]) / width) + 1;
      buckets *= static_cast<double>(dims[k]);
    }
    if (buckets <= kMostBuckets) break;
    width *= 1.01 * std::cbrt(buckets / kMostBuckets);
  }
  // Each vertex's bucket; a triangle's box reaches the buckets between its
  // corners'.
  const long vertexCount = mesh.vertexCount();
  std::vector<int> cell(3 * static_cast<size_t>(vertexCount));
#pragma omp parallel for schedule(static)
  for (long v = 0; v < vertexCount; ++v) {
    for (int k = 0; k < 3; ++k) {
      const double x = mesh.positions[3 * static_cast<size_t>(v) + k];
      cell[3 * v + k] = static_cast<int>(std::min(dims[k] - 1, static_cast<long>((x - lower[k]) / width)));
    }
  }
  // The buckets along axis k that triangle t's box reaches, from `from` to
  // `to`.
  auto bucketSpan = [&](long t, int k, long& from, long& to) {
    const int* tv = &mesh.triangles[3 * static_cast<size_t>(t)];
    const int a = cell[3 * static_cast<size_t>(tv[0]) + k], b = cell[3 * static_cast<size_t>(tv[1]) + k],
              c = cell[3 * static_cast<size_t>(tv[2]) + k];
    from = std::min({a, b, c});
    to = std::max({a, b, c});
  };
  // visit(bucket, x, y, z) for each bucket that triangle t's box reaches.
  auto forBuckets = [&](long t, auto&& visit) {
    long from[3], to[3];
    for (int k = 0; k < 3; ++k) bucketSpan(t, k, from[k], to[k]);
    for (long x = from[0]; x <= to[0]; ++x) {
      for (long y = from[1]; y <= to[1]; ++y) {
        for (long z = from[2]; z <= to[2]; ++z) visit((x * dims[1] + y) * dims[2] + z, x, y, z);
      }
    }
  };

  // The buckets that checked triangles reach, numbered, and the triangles
  // in each (in no particular order: which pairs are tested does not
  // depend on it).
  std::vector<int> slot(static_cast<size_t>(dims[0] * dims[1] * dims[2]), -1);
  int slots = 0;
  for (long t : checked) {
    forBuckets(t, [&](long b, long, long, long) {
      if (slot[b] < 0) slot[b] = slots++;
    });
  }
  // Only triangles with a corner beside a numbered bucket can reach one:
  // none spans more than two buckets along an axis.
  std::vector<char> beside(slot.size(), 0);
  for (size_t b = 0; b < slot.size(); ++b) {
    if (slot[b] < 0) continue;
    const long x = static_cast<long>(b) / (dims[1] * dims[2]), y = static_cast<long>(b) / dims[2] % dims[1],
               z = static_cast<long>(b) % dims[2];
    for (long i = std::max(0L, x - 1); i <= std::min(dims[0] - 1, x + 1); ++i) {
      for (long j = std::max(0L, y - 1); j <= std::min(dims[1] - 1, y + 1); ++j) {
        for (long k = std::max(0L, z - 1); k <= std::min(dims[2] - 1, z + 1); ++k) {
          beside[(i * dims[1] + j) * dims[2] + k] = 1;
        }
      }
    }
  }
  std::vector<long> nearby;
  for (long t = 0; t < triangleCount; ++t) {
    const int* c = &cell[3 * static_cast<size_t>(mesh.triangles[3 * static_cast<size_t>(t)])];
    if (beside[(c[0] * dims[1] + c[1]) * dims[2] + c[2]]) nearby.push_back(t);
  }
  const long nearbyCount = static_cast<long>(nearby.size());
  std::vector<long> first(static_cast<size_t>(slots) + 1, 0);
#pragma omp parallel for schedule(static)
  for (long i = 0; i < nearbyCount; ++i) {
    forBuckets(nearby[i], [&](long b, long, long, long) {
      if (slot[b] >= 0) {
#pragma omp atomic
        ++first[slot[b] + 1];
      }
    });
  }
  for (int i = 0; i < slots; ++i) first[i + 1] += first[i];
  std::vector<long> members(static_cast<size_t>(first[slots]));
  {
    std::vector<long> fill(first.begin(), first.end() - 1);
#pragma omp parallel for schedule(static)
    for (long i = 0; i < nearbyCount; ++i) {
      forBuckets(nearby[i], [&](long b, long, long, long) {
        if (slot[b] >= 0) {
          long at;
#pragma omp atomic capture
          at = fill[slot[b]]++;
          members[at] = nearby[i];
        }
      });
    }
  }

  // Each checked triangle against the triangles in its buckets; a pair is
  // tested once, in the bucket that holds the lower corner of where their
  // boxes overlap, and a crossing flags both.
  const long checks = static_cast<long>(checked.size());
  std::vector<std::vector<long>> crossed(static_cast<size_t>(omp_get_max_threads()));
#pragma omp parallel
  {
    std::vector<long>& own = crossed[static_cast<size_t>(omp_get_thread_num())];
#pragma omp for schedule(dynamic, 64)
    for (long i = 0; i < checks; ++i) {
      const long t = checked[i];
      const int* tv = &mesh.triangles[3 * static_cast<size_t>(t)];
      forBuckets(t, [&](long b, long x, long y, long z) {
        const long at[3] = {x, y, z};
        for (long m = first[slot[b]]; m < first[slot[b] + 1]; ++m) {
          const long u = members[m];
          if (u == t || (check[u] && u < t) || shareVertex(tv, &mesh.triangles[3 * static_cast<size_t>(u)])) {
            continue;
          }
          // Pairs whose boxes are apart may meet in several buckets;
          // trianglesCross turns them down at once.
          bool here = true;
          for (int k = 0; k < 3 && here; ++k) {
            long tFrom, tTo, uFrom, uTo;
            bucketSpan(t, k, tFrom, tTo);
            bucketSpan(u, k, uFrom, uTo);
            here = std::max(tFrom, uFrom) == at[k];
          }
          if (here && trianglesCross(corner(mesh, t, 0), corner(mesh, t, 1), corner(mesh, t, 2),
                                     corner(mesh, u, 0), corner(mesh, u, 1), corner(mesh, u, 2))) {
            own.push_back(t);
            own.push_back(u);
          }
        }
      });
    }
  }
  for (const std::vector<long>& own : crossed) {
    for (long t : own) crossing[t] = 1;
  }
  return crossing;
}

std::vector<char> crossingTrianglesAround(const TriangleMesh& mesh, const std::vector<char>& marked) {
  const long triangleCount = mesh.triangleCount();
  std::vector<char> check(static_cast<size_t>(triangleCount), 0);
  for (long t = 0; t < triangleCount; ++t) {
    const int* v = &mesh.triangles[3 * t];
    check[t] = marked[v[0]] || marked[v[1]] || marked[v[2]];
  }
  return crossingTriangles(mesh, check);
}

}  // namespace wendfit

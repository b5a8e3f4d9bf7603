#include "mesh/curved_edges.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include <omp.h>

#include "fitting/level_fitter.h"
#include "mesh/triangle_crossings.h"

namespace wendfit {

namespace {

// An edge whose ends' normals turn by angle a bulges by about L a / 8 (a
// circular arc over the chord L; exact on a sphere with the gradient's
// normals); only edges whose estimate exceeds this share of the tolerance
// are evaluated.
constexpr double kEstimateShare = 1.0;
// A middle farther than this share of its edge from the surface is not a
// bulge of the surface between the edge's ends (a thin feature the grid
// stepped over, or a gradient that does not describe the surface there):
// the edge is left as it is.
constexpr double kMostOffsetPerLength = 0.5;
constexpr int kChunk = 256;
// Rounds of withdrawing crossing splits before all are given up (two
// sufficed for man at 100,000 and 1,000,000 points and for 3torus).
constexpr int kMostWithdrawRounds = 8;

uint64_t edgeKey(int a, int b) {
  return (static_cast<uint64_t>(static_cast<uint32_t>(std::min(a, b))) << 32) |
         static_cast<uint32_t>(std::max(a, b));
}

// Squared length of the edge from vertex a to vertex b.
double edgeLengthSq(const float* position, int a, int b) {
  double lengthSq = 0.0;
  for (int c = 0; c < 3; ++c) {
    const double d = static_cast<double>(position[3 * static_cast<size_t>(b) + c]) -
                     position[3 * static_cast<size_t>(a) + c];
    lengthSq += d * d;
  }
  return lengthSq;
}

double normalCosine(const std::vector<double>& normals, int a, int b) {
  const double* na = &normals[3 * static_cast<size_t>(a)];
  const double* nb = &normals[3 * static_cast<size_t>(b)];
  return std::clamp(na[0] * nb[0] + na[1] * nb[1] + na[2] * nb[2], -1.0, 1.0);
}

bool onBoxFace(const float* position, int v, const CurvedEdgeOptions& options) {
  for (int k = 0; k < 3; ++k) {
    const float x = position[3 * static_cast<size_t>(v) + k];
    if (x <= options.boxMin[k] || x >= options.boxMax[k]) return true;
  }
  return false;
}

// Appends a placed vertex (position, then normal: 6 floats) to the mesh and
// its normal to `normals`; returns its index.
int appendVertex(TriangleMesh& mesh, std::vector<double>& normals, const float* placed) {
  const int index = static_cast<int>(mesh.vertexCount());
  mesh.positions.insert(mesh.positions.end(), placed, placed + 3);
  mesh.normals.insert(mesh.normals.end(), placed + 3, placed + 6);
  normals.insert(normals.end(), placed + 3, placed + 6);
  return index;
}

struct Candidate {
  uint64_t key;
  int a, b;
};

// Applies the splits still kept and withdraws those that make the mesh pass
// through itself, until none does. Where two sheets of the surface run
// closer than a cell, a vertex moved onto its own sheet can push a triangle
// through the other. `build` restores the mesh to its state before the
// splits, applies those in `keep` and names, for each vertex it adds (from
// `firstNew` on), the split it came from in `owner`; `corners(split, out)`
// writes the mesh vertices that a split's triangles keep (-1 for none):
// withdrawing it changes only triangles holding one of them, so after the
// first round only those are checked again.
template <class Build, class Corners>
void withdrawCrossingSplits(TriangleMesh& mesh, long firstNew, std::vector<char>& keep,
                            std::vector<long>& owner, Build build, Corners corners) {
  std::vector<char> changed;
  // Withdraws a split and marks the vertices whose triangles that changes.
  auto withdraw = [&](long split, std::vector<char>& marks) {
    keep[split] = 0;
    int kept[3];
    corners(split, kept);
    for (int c : kept) {
      if (c >= 0) marks[c] = 1;
    }
  };
  // Whether a triangle holds a vertex (of the mesh before the splits) that
  // the last withdrawals marked.
  auto holdsChanged = [&](const int* v) {
    for (int k = 0; k < 3; ++k) {
      if (v[k] < firstNew && changed[v[k]]) return true;
    }
    return false;
  };
  for (int round = 1;; ++round) {
    owner.clear();
    build();
    if (round > kMostWithdrawRounds) {
      // Crossings still turning up round after round: none of these
      // splits is kept, which leaves the mesh as the grid gave it.
      std::fill(keep.begin(), keep.end(), 0);
      owner.clear();
      build();
      return;
    }
    const long triangleCount = mesh.triangleCount();
    // First the triangles of the new vertices, then those of the marked ones.
    std::vector<char> marks(static_cast<size_t>(mesh.vertexCount()), 0);
    for (long v = 0; v < mesh.vertexCount(); ++v) marks[v] = changed.empty() ? v >= firstNew : v < firstNew && changed[v];
    const std::vector<char> crossing = crossingTrianglesAround(mesh, marks);
    changed.assign(static_cast<size_t>(firstNew), 0);
    bool withdrawn = false;
    for (long t = 0; t < triangleCount; ++t) {
      if (!crossing[t]) continue;
      for (int k = 0; k < 3; ++k) {
        const int v = mesh.triangles[3 * t + k];
        if (v < firstNew) continue;
        withdraw(owner[v - firstNew], changed);
        withdrawn = true;
      }
    }
    if (!withdrawn) return;
    // The splits beside a withdrawn one go too: the triangles restored
    // there lie where the sheets nearly meet, and would often cross a
    // neighbour's split in the next round.
    std::vector<char> ring = changed;
    for (long t = 0; t < triangleCount; ++t) {
      const int* v = &mesh.triangles[3 * t];
      if (!holdsChanged(v)) continue;
      for (int k = 0; k < 3; ++k) {
        if (v[k] >= firstNew) withdraw(owner[v[k] - firstNew], ring);
      }
    }
    changed = std::move(ring);
  }
}

// Drops the vertices from `first` on, leaving the mesh's and `normals`'
// earlier ones.
void truncateVertices(TriangleMesh& mesh, std::vector<double>& normals, long first) {
  mesh.positions.resize(3 * static_cast<size_t>(first));
  mesh.normals.resize(3 * static_cast<size_t>(first));
  normals.resize(3 * static_cast<size_t>(first));
}

// Moves each of `count` points (3 floats each) onto the surface by one
// Newton step along the gradient where it lies farther than the tolerance
// from it but closer than `reach[i]`; writes the moved point and its normal
// to placed (6 floats per point) and whether it moved to `moved`.
void projectMiddles(const ImplicitFunction& function, const CurvedEdgeOptions& options,
                    const std::vector<float>& middles, const std::vector<double>& reach,
                    std::vector<float>& placed, std::vector<char>& moved) {
  const long count = static_cast<long>(reach.size());
  std::vector<float> values(static_cast<size_t>(count)), gradients(3 * static_cast<size_t>(count));
  std::vector<double> gradientLength(static_cast<size_t>(count), 0.0);
  placed.assign(6 * static_cast<size_t>(count), 0.0f);
  moved.assign(static_cast<size_t>(count), 0);
  const long chunks = (count + kChunk - 1) / kChunk;
#pragma omp parallel for schedule(dynamic, 1)
  for (long c = 0; c < chunks; ++c) {
    const long first = c * kChunk;
    const int size = static_cast<int>(std::min<long>(kChunk, count - first));
    function.valuesAndExactGradients(&middles[3 * first], size, &values[first], &gradients[3 * first],
                                     options.quick);
    for (long e = first; e < first + size; ++e) {
      const float* g = &gradients[3 * e];
      const double gradSq = static_cast<double>(g[0]) * g[0] + static_cast<double>(g[1]) * g[1] +
                            static_cast<double>(g[2]) * g[2];
      if (!(gradSq > 0.0) || !std::isfinite(gradSq) || !std::isfinite(values[e])) continue;
      const double length = std::sqrt(gradSq);
      gradientLength[e] = length;
      const double offset = std::fabs(static_cast<double>(values[e])) / length;
      if (!(offset > options.tolerance) || !(offset < reach[e])) continue;
      const double scale = -static_cast<double>(values[e]) / gradSq;
      bool inside = true;
      for (int k = 0; k < 3; ++k) {
        const float p = static_cast<float>(middles[3 * e + k] + scale * g[k]);
        inside = inside && p > options.boxMin[k] && p < options.boxMax[k];
        placed[6 * e + k] = p;
        placed[6 * e + 3 + k] = static_cast<float>(g[k] / length * (options.outsideNegative ? -1.0 : 1.0));
      }
      moved[e] = inside;
    }
  }
  // A step from far off a thin tip can land off the surface again (the
  // gradient there does not point at the nearest surface): a moved point
  // counts only where the step brought it within the tolerance.
  std::vector<float> movedPoints;
  std::vector<long> movedIndex;
  for (long e = 0; e < count; ++e) {
    if (!moved[e]) continue;
    movedIndex.push_back(e);
    movedPoints.insert(movedPoints.end(), &placed[6 * e], &placed[6 * e] + 3);
  }
  const int checks = static_cast<int>(movedIndex.size());
  std::vector<float> after(static_cast<size_t>(checks));
  functionValues(function, movedPoints.data(), checks, after.data(),
                 options.quick ? ValueTerms::Quick : ValueTerms::Plain);
  for (int m = 0; m < checks; ++m) {
    const long e = movedIndex[m];
    moved[e] = std::fabs(static_cast<double>(after[m])) <= options.tolerance * gradientLength[e];
  }
}

// Faces whose centre lies off the surface (the cap of a tip that its three
// vertices ring, with no edge across it) get a vertex there, joined to the
// three corners. `normals`: unit normals of the mesh's vertices (extended
// with the new ones). Returns the faces split.
long splitCurvedFaces(TriangleMesh& mesh, std::vector<double>& normals, const ImplicitFunction& function,
                      const CurvedEdgeOptions& options, long& evaluations) {
  const float* position = mesh.positions.data();
  const long triangleCount = mesh.triangleCount();
  // The longest edge of face t, and whether the face is a candidate: the
  // largest turn of the normals along its edges bends it off the surface
  // by more than the tolerance's share. Each face on its own: any thread
  // count picks the same.
  auto longestEdgeSq = [&](long t) {
    const int* v = &mesh.triangles[3 * t];
    double longestSq = 0.0;
    for (int k = 0; k < 3; ++k) longestSq = std::max(longestSq, edgeLengthSq(position, v[k], v[(k + 1) % 3]));
    return longestSq;
  };
  std::vector<char> candidate(static_cast<size_t>(triangleCount), 0);
#pragma omp parallel for schedule(static)
  for (long t = 0; t < triangleCount; ++t) {
    const int* v = &mesh.triangles[3 * t];
    double leastCosine = 1.0;
    bool onFace = false;
    for (int k = 0; k < 3; ++k) {
      leastCosine = std::min(leastCosine, normalCosine(normals, v[k], v[(k + 1) % 3]));
      onFace = onFace || onBoxFace(position, v[k], options);
    }
    const double estimate = std::sqrt(longestEdgeSq(t)) * std::acos(leastCosine) / 8.0;
    candidate[t] = estimate > kEstimateShare * options.tolerance && !onFace;
  }
  std::vector<long> faces;
  std::vector<float> centres;
  std::vector<double> reach;
  for (long t = 0; t < triangleCount; ++t) {
    if (!candidate[t]) continue;
    const int* v = &mesh.triangles[3 * t];
    const double longestSq = longestEdgeSq(t);
    faces.push_back(t);
    for (int c = 0; c < 3; ++c) {
      double sum = 0.0;
      for (int k = 0; k < 3; ++k) sum += position[3 * static_cast<size_t>(v[k]) + c];
      centres.push_back(static_cast<float>(sum / 3.0));
    }
    reach.push_back(kMostOffsetPerLength * std::sqrt(longestSq));
  }
  evaluations += static_cast<long>(faces.size());
  std::vector<float> placed;
  std::vector<char> moved;
  projectMiddles(function, options, centres, reach, placed, moved);
  const long firstNew = mesh.vertexCount();
  const std::vector<int> before = mesh.triangles;
  std::vector<long> owner;
  withdrawCrossingSplits(mesh, firstNew, moved, owner, [&] {
    truncateVertices(mesh, normals, firstNew);
    mesh.triangles = before;
    for (size_t f = 0; f < faces.size(); ++f) {
      if (!moved[f]) continue;
      const int centre = appendVertex(mesh, normals, &placed[6 * f]);
      owner.push_back(static_cast<long>(f));
      int* v = &mesh.triangles[3 * faces[f]];
      const int a = v[0], b = v[1], c = v[2];
      v[2] = centre;
      mesh.triangles.insert(mesh.triangles.end(), {b, c, centre, c, a, centre});
    }
  }, [&](long f, int* kept) { std::copy(&before[3 * faces[f]], &before[3 * faces[f]] + 3, kept); });
  return static_cast<long>(owner.size());
}

}  // namespace

CurvedEdgeStats splitCurvedEdges(TriangleMesh& mesh, const ImplicitFunction& function,
                                 const CurvedEdgeOptions& options) {
  CurvedEdgeStats stats;
  if (!(options.tolerance > 0.0) || mesh.triangles.empty() || !mesh.hasNormals()) return stats;
  const long vertexCount = mesh.vertexCount();
  std::vector<double> normals(mesh.normals.begin(), mesh.normals.end());
  for (long v = 0; v < vertexCount; ++v) {
    double* n = &normals[3 * static_cast<size_t>(v)];
    const double length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    for (int k = 0; k < 3; ++k) n[k] = length > 0.0 ? n[k] / length : 0.0;
  }
  const float* position = mesh.positions.data();

  // Every edge once (from the triangle that runs it from its lower to its
  // higher vertex), estimated from its ends' normals.
  const long triangleCount = mesh.triangleCount();
  std::vector<std::vector<Candidate>> found(static_cast<size_t>(omp_get_max_threads()));
#pragma omp parallel for schedule(static)
  for (long t = 0; t < triangleCount; ++t) {
    std::vector<Candidate>& own = found[static_cast<size_t>(omp_get_thread_num())];
    for (int k = 0; k < 3; ++k) {
      const int a = mesh.triangles[3 * t + k];
      const int b = mesh.triangles[3 * t + (k + 1) % 3];
      if (a >= b) continue;
      const double estimate =
          std::sqrt(edgeLengthSq(position, a, b)) * std::acos(normalCosine(normals, a, b)) / 8.0;
      if (!(estimate > kEstimateShare * options.tolerance) || onBoxFace(position, a, options) ||
          onBoxFace(position, b, options)) {
        continue;
      }
      own.push_back({edgeKey(a, b), a, b});
    }
  }
  std::vector<Candidate> candidates;
  for (const std::vector<Candidate>& own : found) candidates.insert(candidates.end(), own.begin(), own.end());
  found.clear();
  std::sort(candidates.begin(), candidates.end(),
            [](const Candidate& x, const Candidate& y) { return x.key < y.key; });
  candidates.erase(std::unique(candidates.begin(), candidates.end(),
                               [](const Candidate& x, const Candidate& y) { return x.key == y.key; }),
                   candidates.end());

  // The middles, moved onto the surface by one Newton step along the
  // gradient where they lie off it.
  const long count = static_cast<long>(candidates.size());
  stats.evaluations = count;
  std::vector<float> middles(3 * static_cast<size_t>(count));
  std::vector<double> reach(static_cast<size_t>(count));
  for (long e = 0; e < count; ++e) {
    const int a = candidates[e].a, b = candidates[e].b;
    for (int k = 0; k < 3; ++k) {
      const double pa = position[3 * static_cast<size_t>(a) + k];
      const double pb = position[3 * static_cast<size_t>(b) + k];
      middles[3 * e + k] = static_cast<float>(0.5 * (pa + pb));
    }
    reach[e] = kMostOffsetPerLength * std::sqrt(edgeLengthSq(position, a, b));
  }
  std::vector<float> placed;
  std::vector<char> split;
  projectMiddles(function, options, middles, reach, placed, split);

  // New vertices in edge order, then every triangle split to match its
  // split edges (orientation kept).
  const std::vector<int> before = mesh.triangles;
  std::vector<std::pair<uint64_t, int>> splitVertex;
  // Few edges split: a triangle none of whose corners ends one needs no
  // search for its middles.
  std::vector<char> endsSplit;
  auto middleOf = [&](int a, int b) {
    const uint64_t key = edgeKey(a, b);
    auto it = std::lower_bound(splitVertex.begin(), splitVertex.end(), std::make_pair(key, -1));
    return it != splitVertex.end() && it->first == key ? it->second : -1;
  };
  std::vector<int>& triangles = mesh.triangles;
  auto emit = [&triangles](int a, int b, int c) {
    triangles.push_back(a);
    triangles.push_back(b);
    triangles.push_back(c);
  };
  std::vector<long> owner;
  withdrawCrossingSplits(mesh, vertexCount, split, owner, [&] {
    truncateVertices(mesh, normals, vertexCount);
    splitVertex.clear();
    endsSplit.assign(static_cast<size_t>(vertexCount), 0);
    for (long e = 0; e < count; ++e) {
      if (!split[e]) continue;
      splitVertex.emplace_back(candidates[e].key, appendVertex(mesh, normals, &placed[6 * e]));
      owner.push_back(e);
      endsSplit[candidates[e].a] = endsSplit[candidates[e].b] = 1;
    }
    triangles.clear();
    triangles.reserve(before.size() + 9 * splitVertex.size());
    for (long t = 0; t < triangleCount; ++t) {
      const int v[3] = {before[3 * t], before[3 * t + 1], before[3 * t + 2]};
      if (!endsSplit[v[0]] && !endsSplit[v[1]] && !endsSplit[v[2]]) {
        emit(v[0], v[1], v[2]);
        continue;
      }
      const int m[3] = {middleOf(v[0], v[1]), middleOf(v[1], v[2]), middleOf(v[2], v[0])};
      const int splits = (m[0] >= 0) + (m[1] >= 0) + (m[2] >= 0);
      if (splits == 0) {
        emit(v[0], v[1], v[2]);
      } else if (splits == 1) {
        const int k = m[0] >= 0 ? 0 : (m[1] >= 0 ? 1 : 2);
        const int a = v[k], b = v[(k + 1) % 3], c = v[(k + 2) % 3];
        emit(a, m[k], c);
        emit(m[k], b, c);
      } else if (splits == 2) {
        // The unsplit edge runs from a to b; b-c and c-a are split.
        const int k = m[0] < 0 ? 0 : (m[1] < 0 ? 1 : 2);
        const int a = v[k], b = v[(k + 1) % 3], c = v[(k + 2) % 3];
        const int mbc = m[(k + 1) % 3], mca = m[(k + 2) % 3];
        emit(mbc, c, mca);
        emit(a, b, mbc);
        emit(a, mbc, mca);
      } else {
        emit(v[0], m[0], m[2]);
        emit(m[0], v[1], m[1]);
        emit(m[2], m[1], v[2]);
        emit(m[0], m[1], m[2]);
      }
    }
  }, [&](long e, int* kept) {
    kept[0] = candidates[e].a;
    kept[1] = candidates[e].b;
    kept[2] = -1;
  });
  stats.splitEdges = static_cast<long>(splitVertex.size());
  stats.splitFaces = splitCurvedFaces(mesh, normals, function, options, stats.evaluations);
  return stats;
}

}  // namespace wendfit

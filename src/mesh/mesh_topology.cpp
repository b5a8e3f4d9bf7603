#include "mesh/mesh_topology.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <numeric>
#include <string>

#include "core/error.h"

namespace wendfit {

namespace {

class UnionFind {
 public:
  explicit UnionFind(size_t n) : parent_(n) { std::iota(parent_.begin(), parent_.end(), 0); }
  int find(int x) {
    while (parent_[x] != x) {
      parent_[x] = parent_[parent_[x]];
      x = parent_[x];
    }
    return x;
  }
  void unite(int a, int b) {
    a = find(a);
    b = find(b);
    if (a != b) parent_[std::max(a, b)] = std::min(a, b);
  }

 private:
  std::vector<int> parent_;
};

void checkIndices(const TriangleMesh& mesh) {
  long vertices = mesh.vertexCount();
  for (size_t i = 0; i < mesh.triangles.size(); ++i) {
    if (mesh.triangles[i] < 0 || mesh.triangles[i] >= vertices) {
      throw Error("triangle " + std::to_string(i / 3) + " refers to vertex " +
                  std::to_string(mesh.triangles[i]) + " (expected 0 ... " + std::to_string(vertices - 1) +
                  ")");
    }
  }
}

// Counts boundary, non-manifold and misoriented edges from the sorted list
// of directed edges.
void analyzeEdges(const TriangleMesh& mesh, MeshTopology& topology) {
  struct DirectedEdge {
    uint64_t key;  // (smaller vertex, larger vertex)
    bool forward;  // runs from the smaller to the larger vertex
    bool operator<(const DirectedEdge& o) const {
      return key != o.key ? key < o.key : forward < o.forward;
    }
  };
  std::vector<DirectedEdge> edges;
  edges.reserve(mesh.triangles.size());
  for (long t = 0; t < mesh.triangleCount(); ++t) {
    for (int k = 0; k < 3; ++k) {
      uint32_t a = static_cast<uint32_t>(mesh.triangles[3 * t + k]);
      uint32_t b = static_cast<uint32_t>(mesh.triangles[3 * t + (k + 1) % 3]);
      if (a == b) continue;
      edges.push_back({(uint64_t{std::min(a, b)} << 32) | std::max(a, b), a < b});
    }
  }
  std::sort(edges.begin(), edges.end());
  for (size_t i = 0; i < edges.size();) {
    size_t j = i;
    long forward = 0;
    while (j < edges.size() && edges[j].key == edges[i].key) forward += edges[j++].forward ? 1 : 0;
    long uses = static_cast<long>(j - i);
    ++topology.edges;
    if (uses == 1) ++topology.boundaryEdges;
    if (uses > 2) ++topology.nonManifoldEdges;
    if (uses == 2 && forward != 1) ++topology.misorientedEdges;
    i = j;
  }
}

// A vertex is manifold when the edges opposite to it in its triangles (its
// link) form one path or one cycle.
void analyzeVertices(const TriangleMesh& mesh, MeshTopology& topology) {
  long vertexCount = mesh.vertexCount();
  std::vector<long> start(vertexCount + 1, 0);
  for (int v : mesh.triangles) ++start[v + 1];
  std::partial_sum(start.begin(), start.end(), start.begin());
  std::vector<long> fan(mesh.triangles.size());
  std::vector<long> fill(start.begin(), start.end() - 1);
  for (long t = 0; t < mesh.triangleCount(); ++t) {
    for (int k = 0; k < 3; ++k) fan[fill[mesh.triangles[3 * t + k]]++] = t;
  }
  std::vector<int> linkVertices;
  std::vector<int> degree;
  for (long v = 0; v < vertexCount; ++v) {
    if (start[v] == start[v + 1]) continue;
    ++topology.vertices;
    linkVertices.clear();
    std::vector<std::pair<int, int>> linkEdges;
    for (long f = start[v]; f < start[v + 1]; ++f) {
      const int* tri = &mesh.triangles[3 * fan[f]];
      int k = tri[0] == v ? 0 : (tri[1] == v ? 1 : 2);
      int a = tri[(k + 1) % 3], b = tri[(k + 2) % 3];
      linkEdges.emplace_back(a, b);
      linkVertices.push_back(a);
      linkVertices.push_back(b);
    }
    std::sort(linkVertices.begin(), linkVertices.end());
    linkVertices.erase(std::unique(linkVertices.begin(), linkVertices.end()), linkVertices.end());
    auto indexOf = [&](int x) {
      return static_cast<int>(std::lower_bound(linkVertices.begin(), linkVertices.end(), x) -
                              linkVertices.begin());
    };
    UnionFind link(linkVertices.size());
    degree.assign(linkVertices.size(), 0);
    bool fanOk = true;
    for (auto [a, b] : linkEdges) {
      int ia = indexOf(a), ib = indexOf(b);
      link.unite(ia, ib);
      if (++degree[ia] > 2 || ++degree[ib] > 2) fanOk = false;
    }
    for (size_t i = 0; i < linkVertices.size() && fanOk; ++i) {
      if (link.find(static_cast<int>(i)) != 0) fanOk = false;
    }
    if (!fanOk) ++topology.nonManifoldVertices;
  }
}

double distanceSq(const TriangleMesh& mesh, int a, int b) {
  double sum = 0.0;
  for (int k = 0; k < 3; ++k) {
    double d = static_cast<double>(mesh.positions[3 * a + k]) - mesh.positions[3 * b + k];
    sum += d * d;
  }
  return sum;
}

// Exact for float positions up to the last rounding of the cross product's
// components: the differences and products of floats are exact in double.
bool triangleHasZeroArea(const TriangleMesh& mesh, long t) {
  const int* tri = &mesh.triangles[3 * t];
  const float* p[3] = {&mesh.positions[3 * tri[0]], &mesh.positions[3 * tri[1]], &mesh.positions[3 * tri[2]]};
  double u[3], w[3];
  for (int a = 0; a < 3; ++a) {
    u[a] = static_cast<double>(p[1][a]) - p[0][a];
    w[a] = static_cast<double>(p[2][a]) - p[0][a];
  }
  return u[1] * w[2] - u[2] * w[1] == 0.0 && u[2] * w[0] - u[0] * w[2] == 0.0 && u[0] * w[1] - u[1] * w[0] == 0.0;
}

// Keeps the triangles t with keep[t] and the vertices they use; kept
// triangles and vertices keep their order.
void keepTriangles(TriangleMesh& mesh, const std::vector<bool>& keep) {
  std::vector<int> newIndex(static_cast<size_t>(mesh.vertexCount()), -1);
  std::vector<int> triangles;
  for (long t = 0; t < mesh.triangleCount(); ++t) {
    if (!keep[t]) continue;
    for (int k = 0; k < 3; ++k) {
      int v = mesh.triangles[3 * t + k];
      newIndex[v] = 0;
      triangles.push_back(v);
    }
  }
  TriangleMesh kept;
  for (long v = 0; v < mesh.vertexCount(); ++v) {
    if (newIndex[v] < 0) continue;
    newIndex[v] = static_cast<int>(kept.positions.size() / 3);
    kept.positions.insert(kept.positions.end(), &mesh.positions[3 * v], &mesh.positions[3 * v] + 3);
    if (mesh.hasNormals()) {
      kept.normals.insert(kept.normals.end(), &mesh.normals[3 * v], &mesh.normals[3 * v] + 3);
    }
  }
  for (int& v : triangles) v = newIndex[v];
  kept.triangles = std::move(triangles);
  mesh = std::move(kept);
}

}  // namespace

std::vector<int> triangleComponents(const TriangleMesh& mesh, long* count) {
  checkIndices(mesh);
  UnionFind sets(static_cast<size_t>(mesh.vertexCount()));
  for (long t = 0; t < mesh.triangleCount(); ++t) {
    sets.unite(mesh.triangles[3 * t], mesh.triangles[3 * t + 1]);
    sets.unite(mesh.triangles[3 * t], mesh.triangles[3 * t + 2]);
  }
  std::vector<int> labelOfRoot(static_cast<size_t>(mesh.vertexCount()), -1);
  std::vector<int> labels(static_cast<size_t>(mesh.triangleCount()));
  int next = 0;
  for (long t = 0; t < mesh.triangleCount(); ++t) {
    int root = sets.find(mesh.triangles[3 * t]);
    if (labelOfRoot[root] < 0) labelOfRoot[root] = next++;
    labels[t] = labelOfRoot[root];
  }
  if (count) *count = next;
  return labels;
}

MeshTopology analyzeTopology(const TriangleMesh& mesh) {
  MeshTopology topology;
  triangleComponents(mesh, &topology.components);
  topology.triangles = mesh.triangleCount();
  for (long t = 0; t < mesh.triangleCount(); ++t) {
    const int* tri = &mesh.triangles[3 * t];
    if (tri[0] == tri[1] || tri[1] == tri[2] || tri[0] == tri[2]) ++topology.degenerateTriangles;
  }
  analyzeEdges(mesh, topology);
  analyzeVertices(mesh, topology);
  topology.eulerCharacteristic = topology.vertices - topology.edges + topology.triangles;
  return topology;
}

MeshTopology edgeTopology(const TriangleMesh& mesh) {
  checkIndices(mesh);
  MeshTopology topology;
  topology.triangles = mesh.triangleCount();
  analyzeEdges(mesh, topology);
  return topology;
}

long zeroAreaTriangles(const TriangleMesh& mesh) {
  long count = 0;
  for (long t = 0; t < mesh.triangleCount(); ++t) count += triangleHasZeroArea(mesh, t) ? 1 : 0;
  return count;
}

long dropSmallComponents(TriangleMesh& mesh, long minTriangles) {
  long count = 0;
  std::vector<int> labels = triangleComponents(mesh, &count);
  std::vector<long> sizes(static_cast<size_t>(count), 0);
  for (int label : labels) ++sizes[label];
  long dropped = 0;
  for (long size : sizes) dropped += size < minTriangles ? 1 : 0;
  if (dropped == 0) return 0;
  std::vector<bool> keep(labels.size());
  for (size_t t = 0; t < labels.size(); ++t) keep[t] = sizes[labels[t]] >= minTriangles;
  keepTriangles(mesh, keep);
  return dropped;
}

long dropUnmarkedComponents(TriangleMesh& mesh, const std::vector<char>& marked) {
  if (static_cast<long>(marked.size()) != mesh.vertexCount()) {
    throw Error("vertex marks for " + std::to_string(marked.size()) + " vertices (expected " +
                std::to_string(mesh.vertexCount()) + ")");
  }
  long count = 0;
  std::vector<int> labels = triangleComponents(mesh, &count);
  std::vector<char> keepLabel(static_cast<size_t>(count), 0);
  for (size_t t = 0; t < labels.size(); ++t) {
    for (int k = 0; k < 3; ++k) {
      if (marked[mesh.triangles[3 * t + k]]) keepLabel[labels[t]] = 1;
    }
  }
  long dropped = 0;
  for (char keep : keepLabel) dropped += keep ? 0 : 1;
  if (dropped == 0) return 0;
  std::vector<bool> keep(labels.size());
  for (size_t t = 0; t < labels.size(); ++t) keep[t] = keepLabel[labels[t]] != 0;
  keepTriangles(mesh, keep);
  return dropped;
}

long collapseZeroAreaTriangles(TriangleMesh& mesh) {
  checkIndices(mesh);
  std::vector<long> work;
  for (long t = 0; t < mesh.triangleCount(); ++t) {
    if (triangleHasZeroArea(mesh, t)) work.push_back(t);
  }
  if (work.empty()) return 0;
  std::vector<std::vector<long>> fans(static_cast<size_t>(mesh.vertexCount()));
  for (long t = 0; t < mesh.triangleCount(); ++t) {
    for (int k = 0; k < 3; ++k) fans[mesh.triangles[3 * t + k]].push_back(t);
  }
  std::vector<bool> alive(static_cast<size_t>(mesh.triangleCount()), true);
  int* tris = mesh.triangles.data();
  auto contains = [&](long t, int v) { return tris[3 * t] == v || tris[3 * t + 1] == v || tris[3 * t + 2] == v; };
  // Neighbours of v over its live triangles, sorted.
  auto neighbours = [&](int v) {
    std::vector<int> around;
    for (long t : fans[v]) {
      if (!alive[t]) continue;
      for (int k = 0; k < 3; ++k) {
        if (tris[3 * t + k] != v) around.push_back(tris[3 * t + k]);
      }
    }
    std::sort(around.begin(), around.end());
    around.erase(std::unique(around.begin(), around.end()), around.end());
    return around;
  };
  long collapsed = 0;
  for (size_t w = 0; w < work.size(); ++w) {
    long t = work[w];
    if (!alive[t] || !triangleHasZeroArea(mesh, t)) continue;
    const int* tri = &tris[3 * t];
    if (tri[0] == tri[1] || tri[1] == tri[2] || tri[0] == tri[2]) {
      alive[t] = false;
      ++collapsed;
      continue;
    }
    // Coincident corners merge; otherwise the middle corner of the three
    // collinear ones moves onto its nearer neighbour (the shortest edge).
    int keep = -1, drop = -1;
    double shortest = 0.0;
    for (int k = 0; k < 3; ++k) {
      int a = tri[k], b = tri[(k + 1) % 3], c = tri[(k + 2) % 3];
      double ab = distanceSq(mesh, a, b);
      if (keep >= 0 && !(ab < shortest)) continue;
      shortest = ab;
      bool aMiddle = distanceSq(mesh, b, c) >= distanceSq(mesh, a, c);
      keep = ab == 0.0 ? std::min(a, b) : (aMiddle ? b : a);
      drop = keep == a ? b : a;
    }
    // Link condition: the common neighbours of the two ends are exactly the
    // apexes of the triangles on their edge, or the collapse would pinch
    // the surface.
    std::vector<int> common;
    std::vector<int> aroundKeep = neighbours(keep), aroundDrop = neighbours(drop);
    std::set_intersection(aroundKeep.begin(), aroundKeep.end(), aroundDrop.begin(), aroundDrop.end(),
                          std::back_inserter(common));
    std::vector<int> apexes;
    for (long f : fans[drop]) {
      if (!alive[f] || !contains(f, keep)) continue;
      for (int k = 0; k < 3; ++k) {
        int v = tris[3 * f + k];
        if (v != keep && v != drop) apexes.push_back(v);
      }
    }
    std::sort(apexes.begin(), apexes.end());
    apexes.erase(std::unique(apexes.begin(), apexes.end()), apexes.end());
    if (common != apexes) continue;
    for (long f : fans[drop]) {
      if (!alive[f]) continue;
      if (contains(f, keep)) {
        alive[f] = false;
        ++collapsed;
        continue;
      }
      for (int k = 0; k < 3; ++k) {
        if (tris[3 * f + k] == drop) tris[3 * f + k] = keep;
      }
      fans[keep].push_back(f);
      work.push_back(f);
    }
    fans[drop].clear();
  }
  keepTriangles(mesh, alive);
  return collapsed;
}


}  // namespace wendfit

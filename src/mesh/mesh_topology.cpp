#include "mesh/mesh_topology.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <functional>
#include <iterator>
#include <numeric>
#include <string>
#include <unordered_map>

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

// Counts boundary, non-manifold and misoriented edges: the directed edges
// are bucketed by their smaller vertex (a counting sort, linear in the
// mesh), then each vertex's few edges are grouped by their larger vertex.
void analyzeEdges(const TriangleMesh& mesh, MeshTopology& topology) {
  struct DirectedEdge {
    uint32_t larger;
    bool forward;  // runs from the smaller to the larger vertex
  };
  const long vertexCount = mesh.vertexCount();
  std::vector<long> start(static_cast<size_t>(vertexCount) + 1, 0);
  auto eachEdge = [&mesh](auto&& visit) {
    for (long t = 0; t < mesh.triangleCount(); ++t) {
      for (int k = 0; k < 3; ++k) {
        const uint32_t a = static_cast<uint32_t>(mesh.triangles[3 * t + k]);
        const uint32_t b = static_cast<uint32_t>(mesh.triangles[3 * t + (k + 1) % 3]);
        if (a != b) visit(std::min(a, b), std::max(a, b), a < b);
      }
    }
  };
  eachEdge([&start](uint32_t smaller, uint32_t, bool) { ++start[smaller + 1]; });
  std::partial_sum(start.begin(), start.end(), start.begin());
  std::vector<DirectedEdge> edges(static_cast<size_t>(start[vertexCount]));
  std::vector<long> fill(start.begin(), start.end() - 1);
  eachEdge([&](uint32_t smaller, uint32_t larger, bool forward) { edges[fill[smaller]++] = {larger, forward}; });
  for (long v = 0; v < vertexCount; ++v) {
    const auto first = edges.begin() + start[v], last = edges.begin() + start[v + 1];
    std::sort(first, last, [](const DirectedEdge& x, const DirectedEdge& y) { return x.larger < y.larger; });
    for (auto i = first; i != last;) {
      auto j = i;
      long forward = 0;
      while (j != last && j->larger == i->larger) forward += (j++)->forward ? 1 : 0;
      const long uses = static_cast<long>(j - i);
      ++topology.edges;
      if (uses == 1) ++topology.boundaryEdges;
      if (uses > 2) ++topology.nonManifoldEdges;
      if (uses == 2 && forward != 1) ++topology.misorientedEdges;
      i = j;
    }
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

// The triangles around each vertex, in triangle order, followed by those
// that collapses moved onto it, in the order they came. Most vertices keep
// their first list, which lies in one array.
class Fans {
 public:
  explicit Fans(const TriangleMesh& mesh)
      : start_(static_cast<size_t>(mesh.vertexCount()) + 1, 0),
        list_(mesh.triangles.size()),
        cleared_(static_cast<size_t>(mesh.vertexCount()), 0) {
    for (int v : mesh.triangles) ++start_[v + 1];
    std::partial_sum(start_.begin(), start_.end(), start_.begin());
    std::vector<long> fill(start_.begin(), start_.end() - 1);
    for (long t = 0; t < mesh.triangleCount(); ++t) {
      for (int k = 0; k < 3; ++k) list_[fill[mesh.triangles[3 * t + k]]++] = t;
    }
  }

  // Calls visit(t) for every triangle t of v's fan. `visit` may add to other
  // vertices' fans.
  template <typename Visit>
  void forEach(int v, Visit&& visit) {
    if (!cleared_[v]) {
      for (long i = start_[v]; i < start_[v + 1]; ++i) visit(list_[i]);
    }
    auto moved = moved_.find(v);
    if (moved == moved_.end()) return;
    const std::vector<long>& extra = moved->second;  // map nodes stay put on insertion
    for (size_t i = 0; i < extra.size(); ++i) visit(extra[i]);
  }

  void add(int v, long t) { moved_[v].push_back(t); }

  void clear(int v) {
    cleared_[v] = 1;
    moved_.erase(v);
  }

 private:
  std::vector<long> start_;
  std::vector<long> list_;
  std::vector<char> cleared_;
  std::unordered_map<int, std::vector<long>> moved_;
};

double distanceSq(const TriangleMesh& mesh, int a, int b) {
  double sum = 0.0;
  for (int k = 0; k < 3; ++k) {
    double d = static_cast<double>(mesh.positions[3 * a + k]) - mesh.positions[3 * b + k];
    sum += d * d;
  }
  return sum;
}

// Triangle t's corners, widened to double.
void cornersOf(const TriangleMesh& mesh, long t, double corner[3][3]) {
  for (int k = 0; k < 3; ++k) {
    const float* p = &mesh.positions[3 * static_cast<size_t>(mesh.triangles[3 * static_cast<size_t>(t) + k])];
    for (int a = 0; a < 3; ++a) corner[k][a] = p[a];
  }
}

// (b - a) x (c - a) of corners a, b, c: twice the area along the normal
// the corners turn counter-clockwise about.
void crossOf(const double corner[3][3], double n[3]) {
  double u[3], w[3];
  for (int a = 0; a < 3; ++a) {
    u[a] = corner[1][a] - corner[0][a];
    w[a] = corner[2][a] - corner[0][a];
  }
  n[0] = u[1] * w[2] - u[2] * w[1];
  n[1] = u[2] * w[0] - u[0] * w[2];
  n[2] = u[0] * w[1] - u[1] * w[0];
}

// Exact for float positions up to the last rounding of the cross product's
// components: the differences and products of floats are exact in double.
bool triangleHasZeroArea(const TriangleMesh& mesh, long t) {
  double corner[3][3], n[3];
  cornersOf(mesh, t, corner);
  crossOf(corner, n);
  return n[0] == 0.0 && n[1] == 0.0 && n[2] == 0.0;
}

// Keeps the triangles t with keep[t] and the vertices they use; kept
// triangles and vertices keep their order. `kept` (when given) receives
// each kept vertex's index before.
void keepTriangles(TriangleMesh& mesh, const std::vector<bool>& keep, std::vector<int>* kept = nullptr) {
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
  TriangleMesh result;
  if (kept) kept->clear();
  for (long v = 0; v < mesh.vertexCount(); ++v) {
    if (newIndex[v] < 0) continue;
    newIndex[v] = static_cast<int>(result.positions.size() / 3);
    if (kept) kept->push_back(static_cast<int>(v));
    result.positions.insert(result.positions.end(), &mesh.positions[3 * v], &mesh.positions[3 * v] + 3);
    if (mesh.hasNormals()) {
      result.normals.insert(result.normals.end(), &mesh.normals[3 * v], &mesh.normals[3 * v] + 3);
    }
  }
  for (int& v : triangles) v = newIndex[v];
  result.triangles = std::move(triangles);
  mesh = std::move(result);
}

// Removes the components c with drop[c] (labels: each triangle's component)
// as keepTriangles does; returns how many went.
long dropComponents(TriangleMesh& mesh, const std::vector<int>& labels, const std::vector<char>& drop) {
  const long dropped = static_cast<long>(std::count(drop.begin(), drop.end(), 1));
  if (dropped == 0) return 0;
  std::vector<bool> keep(labels.size());
  for (size_t t = 0; t < labels.size(); ++t) keep[t] = !drop[labels[t]];
  keepTriangles(mesh, keep);
  return dropped;
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
  std::vector<char> small(static_cast<size_t>(count), 0);
  for (long c = 0; c < count; ++c) small[c] = sizes[c] < minTriangles;
  return dropComponents(mesh, labels, small);
}

namespace {

double median(std::vector<double>& values) {
  const size_t middle = values.size() / 2;
  std::nth_element(values.begin(), values.begin() + static_cast<long>(middle), values.end());
  return values[middle];
}

}  // namespace

long dropLightComponents(TriangleMesh& mesh, const std::vector<int>& weights, long minimum) {
  return dropUnsupportedComponents(mesh, weights, minimum, nullptr, 0.0);
}

long dropUnsupportedComponents(TriangleMesh& mesh, const std::vector<int>& weights, long minimum,
                               const std::function<double(const float* p)>& distance, double farthestMedian) {
  if (static_cast<long>(weights.size()) != mesh.vertexCount()) {
    throw Error("vertex weights for " + std::to_string(weights.size()) + " vertices (expected " +
                std::to_string(mesh.vertexCount()) + ")");
  }
  long count = 0;
  std::vector<int> labels = triangleComponents(mesh, &count);
  // A vertex counts once, however many of its component's triangles use it.
  std::vector<int> labelOf(weights.size(), -1);
  for (size_t t = 0; t < labels.size(); ++t) {
    for (int k = 0; k < 3; ++k) labelOf[mesh.triangles[3 * t + k]] = labels[t];
  }
  std::vector<long> total(static_cast<size_t>(count), 0);
  for (size_t v = 0; v < weights.size(); ++v) {
    if (labelOf[v] >= 0) total[labelOf[v]] += weights[v];
  }
  // The heaviest component (the first of equals) stays whatever its weight.
  const long heaviest = static_cast<long>(std::max_element(total.begin(), total.end()) - total.begin());
  std::vector<char> unsupported(static_cast<size_t>(count), 0);
  for (long c = 0; c < count; ++c) unsupported[c] = total[c] < minimum && c != heaviest;
  if (distance) {
    // The other pieces' vertices' distances (on all threads: another object
    // can be as large as the main one), then piece by piece.
    std::vector<long> asked;
    for (size_t v = 0; v < weights.size(); ++v) {
      const int c = labelOf[v];
      if (c >= 0 && c != heaviest && !unsupported[c]) asked.push_back(static_cast<long>(v));
    }
    std::vector<double> found(asked.size());
#pragma omp parallel for schedule(static)
    for (long e = 0; e < static_cast<long>(asked.size()); ++e) found[e] = distance(&mesh.positions[3 * asked[e]]);
    std::vector<std::vector<double>> distances(static_cast<size_t>(count));
    for (size_t e = 0; e < asked.size(); ++e) distances[labelOf[asked[e]]].push_back(found[e]);
    for (long c = 0; c < count; ++c) {
      if (!distances[c].empty() && median(distances[c]) > farthestMedian) unsupported[c] = 1;
    }
  }
  return dropComponents(mesh, labels, unsupported);
}

namespace {

// Six times each piece's signed volume, by the divergence theorem.
std::vector<double> pieceVolumes(const TriangleMesh& mesh, const std::vector<int>& labels, long count) {
  std::vector<double> volumes(static_cast<size_t>(count), 0.0);
  for (size_t t = 0; t < labels.size(); ++t) {
    double corner[3][3];
    cornersOf(mesh, static_cast<long>(t), corner);
    const double* p = corner[0];
    const double* q = corner[1];
    const double* r = corner[2];
    volumes[labels[t]] += p[0] * (q[1] * r[2] - q[2] * r[1]) - p[1] * (q[0] * r[2] - q[2] * r[0]) +
                          p[2] * (q[0] * r[1] - q[1] * r[0]);
  }
  return volumes;
}

// The piece of the largest volume (the first of equals).
long largestPiece(const std::vector<double>& volumes) {
  long largest = 0;
  for (long c = 1; c < static_cast<long>(volumes.size()); ++c) {
    if (std::fabs(volumes[c]) > std::fabs(volumes[largest])) largest = c;
  }
  return largest;
}

// Triangles of a piece asked for its sides at most.
constexpr long kMostAskedTriangles = 4096;

}  // namespace

long dropSmallPieces(TriangleMesh& mesh, double cavityVolume, double solidVolume, bool flipped) {
  long count = 0;
  std::vector<int> labels = triangleComponents(mesh, &count);
  const std::vector<double> volumes = pieceVolumes(mesh, labels, count);
  const long largest = largestPiece(volumes);
  std::vector<char> small(static_cast<size_t>(count), 0);
  for (long c = 0; c < count; ++c) {
    const double outward = (flipped ? -volumes[c] : volumes[c]) / 6.0;
    small[c] = c != largest && (outward < 0.0 ? -outward < cavityVolume : outward < solidVolume);
  }
  return dropComponents(mesh, labels, small);
}

long dropContradictedPieces(TriangleMesh& mesh, const std::function<double(const float*)>& inside, double depth,
                            double widest, bool flipped) {
  long count = 0;
  std::vector<int> labels = triangleComponents(mesh, &count);
  if (count < 2) return 0;
  const long largest = largestPiece(pieceVolumes(mesh, labels, count));
  // Each piece is asked at up to kMostAskedTriangles of its triangles, evenly
  // spread in their order (a median needs no more; the largest piece can
  // have millions): at `depth` behind each (its solid side) and as far in
  // front (its empty side).
  std::vector<long> sizes(static_cast<size_t>(count), 0), seen(static_cast<size_t>(count), 0);
  for (int label : labels) ++sizes[label];
  std::vector<long> asked;
  for (long t = 0; t < static_cast<long>(labels.size()); ++t) {
    const int c = labels[t];
    const long stride = (sizes[c] + kMostAskedTriangles - 1) / kMostAskedTriangles;
    if (seen[c]++ % stride == 0) asked.push_back(t);
  }
  const long n = static_cast<long>(asked.size());
  std::vector<double> behind(static_cast<size_t>(n), 0.5), front(static_cast<size_t>(n), 0.5);
#pragma omp parallel for schedule(dynamic, 64)
  for (long e = 0; e < n; ++e) {
    double corner[3][3], normal[3], centre[3];
    cornersOf(mesh, asked[e], corner);
    crossOf(corner, normal);
    for (int a = 0; a < 3; ++a) centre[a] = (corner[0][a] + corner[1][a] + corner[2][a]) / 3.0;
    const double length = std::sqrt(normal[0] * normal[0] + normal[1] * normal[1] + normal[2] * normal[2]);
    if (!(length > 0.0)) continue;  // no side to ask: counts as undecided
    const double reach = (flipped ? -depth : depth) / length;
    float solid[3], empty[3];
    for (int a = 0; a < 3; ++a) {
      solid[a] = static_cast<float>(centre[a] - reach * normal[a]);
      empty[a] = static_cast<float>(centre[a] + reach * normal[a]);
    }
    behind[e] = inside(solid);
    front[e] = inside(empty);
  }
  std::vector<std::vector<double>> solidSide(static_cast<size_t>(count)), emptySide(static_cast<size_t>(count));
  for (long e = 0; e < n; ++e) {
    solidSide[labels[asked[e]]].push_back(behind[e]);
    emptySide[labels[asked[e]]].push_back(front[e]);
  }
  const auto contradicts = [&](long c) {
    return median(solidSide[c]) < kDataOutside || median(emptySide[c]) > kDataInside;
  };
  // Data that contradict the largest piece too do not describe a solid (an
  // open scan; faces that face both ways): their word counts for nothing.
  if (contradicts(largest)) return 0;
  // Each piece's box, for its width.
  std::vector<std::array<double, 6>> boxes(static_cast<size_t>(count));
  for (auto& box : boxes) box = {HUGE_VAL, HUGE_VAL, HUGE_VAL, -HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
  for (size_t t = 0; t < labels.size(); ++t) {
    if (labels[t] == largest) continue;  // stays whatever its width
    for (int k = 0; k < 3; ++k) {
      const float* p = &mesh.positions[3 * static_cast<size_t>(mesh.triangles[3 * t + k])];
      for (int a = 0; a < 3; ++a) {
        boxes[labels[t]][a] = std::min(boxes[labels[t]][a], static_cast<double>(p[a]));
        boxes[labels[t]][3 + a] = std::max(boxes[labels[t]][3 + a], static_cast<double>(p[a]));
      }
    }
  }
  std::vector<char> contradicted(static_cast<size_t>(count), 0);
  for (long c = 0; c < count; ++c) {
    const std::array<double, 6>& box = boxes[c];
    const double width = std::sqrt((box[3] - box[0]) * (box[3] - box[0]) + (box[4] - box[1]) * (box[4] - box[1]) +
                                   (box[5] - box[2]) * (box[5] - box[2]));
    contradicted[c] = c != largest && width <= widest && contradicts(c);
  }
  return dropComponents(mesh, labels, contradicted);
}

long collapseZeroAreaTriangles(TriangleMesh& mesh, std::vector<int>* keptVertices) {
  checkIndices(mesh);
  std::vector<long> work;
  for (long t = 0; t < mesh.triangleCount(); ++t) {
    if (triangleHasZeroArea(mesh, t)) work.push_back(t);
  }
  if (work.empty()) return 0;
  Fans fans(mesh);
  std::vector<bool> alive(static_cast<size_t>(mesh.triangleCount()), true);
  int* tris = mesh.triangles.data();
  auto contains = [&](long t, int v) { return tris[3 * t] == v || tris[3 * t + 1] == v || tris[3 * t + 2] == v; };
  // Neighbours of v over its live triangles, sorted.
  auto neighbours = [&](int v) {
    std::vector<int> around;
    fans.forEach(v, [&](long t) {
      if (!alive[t]) return;
      for (int k = 0; k < 3; ++k) {
        if (tris[3 * t + k] != v) around.push_back(tris[3 * t + k]);
      }
    });
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
    fans.forEach(drop, [&](long f) {
      if (!alive[f] || !contains(f, keep)) return;
      for (int k = 0; k < 3; ++k) {
        int v = tris[3 * f + k];
        if (v != keep && v != drop) apexes.push_back(v);
      }
    });
    std::sort(apexes.begin(), apexes.end());
    apexes.erase(std::unique(apexes.begin(), apexes.end()), apexes.end());
    if (common != apexes) continue;
    fans.forEach(drop, [&](long f) {
      if (!alive[f]) return;
      if (contains(f, keep)) {
        alive[f] = false;
        ++collapsed;
        return;
      }
      for (int k = 0; k < 3; ++k) {
        if (tris[3 * f + k] == drop) tris[3 * f + k] = keep;
      }
      fans.add(keep, f);
      work.push_back(f);
    });
    fans.clear(drop);
  }
  keepTriangles(mesh, alive, keptVertices);
  return collapsed;
}


}  // namespace wendfit

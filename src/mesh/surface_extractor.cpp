#include "mesh/surface_extractor.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <utility>

#include "mesh/surface_grid.h"

namespace wendfit {

namespace {

constexpr int kSide = kBlockCells + 1;  // grid points along a block side
constexpr int kBlockPoints = kSide * kSide * kSide;
constexpr int kBlockCellCount = kBlockCells * kBlockCells * kBlockCells;

// The six tetrahedra of a cube as corner indices (bit 0: +x, bit 1: +y,
// bit 2: +z). All share the main diagonal 0-7, and every face is split along
// the diagonal through its lowest corner, in every cube alike.
constexpr int kTetrahedra[6][4] = {{0, 1, 3, 7}, {0, 1, 5, 7}, {0, 2, 3, 7},
                                   {0, 2, 6, 7}, {0, 4, 5, 7}, {0, 4, 6, 7}};

// Root finding along an edge stops when the bracket is this fraction of the
// edge, or after kMaxRootSteps evaluations; floats give out before either in
// practice.
constexpr int kMaxRootSteps = 12;
constexpr double kRootTolerance = 1e-6;
// The gradient step may move a vertex at most this fraction of the smallest
// grid spacing: it polishes the root, it must not carry the vertex away from
// the cell that produced it.
constexpr double kPolishStepLimit = 0.25;
// Newton steps that carry a band record's centre onto the surface; a step
// shorter than kProjectionTolerance grid spacings ends them (the finest
// level's centres lie on the surface already, up to the regularization).
constexpr int kProjectionSteps = 4;
constexpr double kProjectionTolerance = 0.05;

bool negative(float value) { return value < 0.0f; }

int bitOf(int corner, int axis) { return (corner >> axis) & 1; }

struct Seed {
  uint64_t block;
  int cell;
  bool operator<(const Seed& o) const { return block != o.block ? block < o.block : cell < o.cell; }
  bool operator==(const Seed& o) const { return block == o.block && cell == o.cell; }
};

// A progress bar on a terminal; safe to advance from any thread, printed by
// whichever thread crosses a percent step.
class Progress {
 public:
  Progress(std::FILE* out, const char* label, long total) : out_(out), label_(label), total_(total) {
    draw(0);
  }
  ~Progress() {
    if (out_) std::fprintf(out_, "\r%*s\r", 60, "");
  }
  void advance(long amount) {
    if (!out_ || total_ <= 0) return;
    long done = done_.fetch_add(amount) + amount;
    int percent = static_cast<int>(std::min(100L, done * 100 / total_));
    int shown = shown_.load();
    if (percent > shown && shown_.compare_exchange_strong(shown, percent)) {
#pragma omp critical(wendfitMeshProgress)
      draw(percent);
    }
  }

 private:
  void draw(int percent) {
    if (!out_) return;
    int filled = percent * 30 / 100;
    std::fprintf(out_, "\r%-10s [%.*s%*s] %3d%%", label_, filled, "##############################",
                 30 - filled, "", percent);
    std::fflush(out_);
  }

  std::FILE* out_;
  const char* label_;
  long total_;
  std::atomic<long> done_{0};
  std::atomic<int> shown_{0};
};

struct Context {
  const ImplicitFunction& function;
  const SurfaceGrid& grid;
  // Side the triangles face and the normals point to (flip applied).
  bool outsideNegative;
  double polishStep;
};

// The grid values of one block, evaluated on first use, and the block's
// share of the surface cells.
struct BlockCache {
  int base[3];  // first cell of the block
  int size[3];  // cells of the block per axis (fewer at the grid's upper end)
  float values[kBlockPoints];
  uint8_t known[kBlockPoints] = {};
  uint8_t visited[kBlockCellCount] = {};
  std::vector<int> crossing;  // surface cells, local index
  long evaluations = 0;

  BlockCache(const SurfaceGrid& grid, uint64_t key) {
    uint64_t bi = key % static_cast<uint64_t>(grid.blocks[0]);
    uint64_t rest = key / static_cast<uint64_t>(grid.blocks[0]);
    const uint64_t b[3] = {bi, rest % static_cast<uint64_t>(grid.blocks[1]),
                           rest / static_cast<uint64_t>(grid.blocks[1])};
    for (int a = 0; a < 3; ++a) {
      base[a] = static_cast<int>(b[a]) * kBlockCells;
      size[a] = std::min(kBlockCells, grid.n[a] - base[a]);
    }
  }

  float value(const Context& ctx, int ci, int cj, int ck) {
    int index = (ck * kSide + cj) * kSide + ci;
    if (!known[index]) {
      float p[3];
      ctx.grid.point(base[0] + ci, base[1] + cj, base[2] + ck, p);
      values[index] = ctx.function.value(p[0], p[1], p[2]);
      known[index] = 1;
      ++evaluations;
    }
    return values[index];
  }

  // Bit c is set when corner c of the cell is negative.
  int cellMask(const Context& ctx, int cell) {
    int ci = cell % kBlockCells;
    int cj = (cell / kBlockCells) % kBlockCells;
    int ck = cell / (kBlockCells * kBlockCells);
    int mask = 0;
    for (int c = 0; c < 8; ++c) {
      if (negative(value(ctx, ci + bitOf(c, 0), cj + bitOf(c, 1), ck + bitOf(c, 2)))) mask |= 1 << c;
    }
    return mask;
  }
};

int localCell(int ci, int cj, int ck) { return (ck * kBlockCells + cj) * kBlockCells + ci; }

// Whether the 4 corners of a cell face (axis, side) are of mixed sign.
bool faceMixed(int mask, int axis, int side) {
  int seen = 0;
  for (int c = 0; c < 8; ++c) {
    if (bitOf(c, axis) == side) seen |= ((mask >> c) & 1) ? 2 : 1;
  }
  return seen == 3;
}

// Follows the surface through the cells of one block, starting at `stack`;
// cells across the block's faces that the surface enters go to `outgoing`
// when their block is in the band.
void traceBlock(const Context& ctx, const std::vector<bool>& band, BlockCache& block,
                std::vector<int> stack, std::vector<Seed>& outgoing) {
  const SurfaceGrid& grid = ctx.grid;
  while (!stack.empty()) {
    int cell = stack.back();
    stack.pop_back();
    if (block.visited[cell]) continue;
    block.visited[cell] = 1;
    int mask = block.cellMask(ctx, cell);
    if (mask == 0 || mask == 0xFF) continue;
    block.crossing.push_back(cell);
    const int local[3] = {cell % kBlockCells, (cell / kBlockCells) % kBlockCells,
                          cell / (kBlockCells * kBlockCells)};
    for (int axis = 0; axis < 3; ++axis) {
      for (int side = 0; side < 2; ++side) {
        if (!faceMixed(mask, axis, side)) continue;
        int next[3] = {local[0], local[1], local[2]};
        next[axis] += side ? 1 : -1;
        if (next[axis] >= 0 && next[axis] < block.size[axis]) {
          stack.push_back(localCell(next[0], next[1], next[2]));
          continue;
        }
        int global[3];
        for (int a = 0; a < 3; ++a) global[a] = block.base[a] + next[a];
        if (global[axis] < 0 || global[axis] >= grid.n[axis]) continue;
        uint64_t key = grid.blockKey(global[0] / kBlockCells, global[1] / kBlockCells,
                                     global[2] / kBlockCells);
        if (!band[key]) continue;
        outgoing.push_back({key, localCell(global[0] % kBlockCells, global[1] % kBlockCells,
                                           global[2] % kBlockCells)});
      }
    }
  }
}

struct PlacedVertex {
  float position[3];
  float normal[3];
};

float evaluateAt(const ImplicitFunction& function, const float a[3], const float b[3], double t,
                 float p[3]) {
  for (int k = 0; k < 3; ++k) {
    p[k] = static_cast<float>(static_cast<double>(a[k]) +
                              t * (static_cast<double>(b[k]) - static_cast<double>(a[k])));
  }
  return function.value(p[0], p[1], p[2]);
}

// The surface vertex on the grid edge from a (value fa) to b (value fb),
// whose sign classes differ. Depends only on its arguments, so every block
// that meets the edge computes the identical vertex.
PlacedVertex placeVertex(const Context& ctx, const float a[3], float fa, const float b[3], float fb,
                         long* evaluations) {
  const ImplicitFunction& function = ctx.function;
  // Illinois false position on t in [0, 1]: the secant inside the bracket,
  // halving the stale end's value when the same end moves twice.
  const bool lowNegative = negative(fa);
  double lo = 0.0, hi = 1.0, flo = fa, fhi = fb;
  int lastMoved = 0;
  float p[3];
  float fp = 0.0f;
  for (int step = 0; step < kMaxRootSteps; ++step) {
    double t = lo + (hi - lo) * flo / (flo - fhi);
    if (!(t > lo && t < hi)) t = 0.5 * (lo + hi);
    fp = evaluateAt(function, a, b, t, p);
    ++*evaluations;
    if (negative(fp) == lowNegative) {
      lo = t;
      flo = fp;
      if (lastMoved < 0) fhi *= 0.5;
      lastMoved = -1;
    } else {
      hi = t;
      fhi = fp;
      if (lastMoved > 0) flo *= 0.5;
      lastMoved = 1;
    }
    if (fp == 0.0f || hi - lo <= kRootTolerance) break;
  }

  // One Newton step along the gradient, kept only when it gets closer to 0.
  float gradient[3];
  float f0 = function.valueAndGradient(gradient, p[0], p[1], p[2]);
  ++*evaluations;
  double gradSq = 0.0;
  for (double g : gradient) gradSq += g * g;
  if (f0 != 0.0f && gradSq > 0.0 && std::isfinite(gradSq)) {
    double scale = -static_cast<double>(f0) / gradSq;
    double length = std::fabs(scale) * std::sqrt(gradSq);
    if (length > ctx.polishStep) scale *= ctx.polishStep / length;
    float q[3];
    for (int k = 0; k < 3; ++k) q[k] = static_cast<float>(p[k] + scale * gradient[k]);
    float moved[3];
    float f1 = function.valueAndGradient(moved, q[0], q[1], q[2]);
    ++*evaluations;
    if (std::fabs(f1) < std::fabs(f0)) {
      std::copy(q, q + 3, p);
      std::copy(moved, moved + 3, gradient);
      gradSq = 0.0;
      for (double g : gradient) gradSq += g * g;
    }
  }

  PlacedVertex vertex;
  std::copy(p, p + 3, vertex.position);
  // Normals point to the outside class: along the gradient when outside is
  // non-negative. Without a usable gradient, along the edge towards the end
  // that lies outside.
  double direction[3];
  double norm = std::sqrt(gradSq);
  if (norm > 0.0 && std::isfinite(norm)) {
    for (int k = 0; k < 3; ++k) direction[k] = gradient[k] / norm * (ctx.outsideNegative ? -1.0 : 1.0);
  } else {
    double towardsB = (negative(fb) == ctx.outsideNegative) ? 1.0 : -1.0;
    double length = 0.0;
    for (int k = 0; k < 3; ++k) {
      direction[k] = (static_cast<double>(b[k]) - a[k]) * towardsB;
      length += direction[k] * direction[k];
    }
    length = std::sqrt(length);
    for (double& d : direction) d = length > 0.0 ? d / length : 0.0;
  }
  for (int k = 0; k < 3; ++k) vertex.normal[k] = static_cast<float>(direction[k]);
  return vertex;
}

// The triangles of one block, with vertices named by their grid edge.
struct BlockMesh {
  std::vector<uint64_t> triangleKeys;  // 3 per triangle
  std::unordered_map<uint64_t, int> localIndex;
  std::vector<PlacedVertex> vertices;
  long evaluations = 0;
};

// Polygonizes the block's surface cells in cell order.
class BlockTriangulator {
 public:
  BlockTriangulator(const Context& ctx, BlockCache& block, BlockMesh& out)
      : ctx_(ctx), block_(block), out_(out) {}

  void run() {
    std::sort(block_.crossing.begin(), block_.crossing.end());
    for (int cell : block_.crossing) {
      local_[0] = cell % kBlockCells;
      local_[1] = (cell / kBlockCells) % kBlockCells;
      local_[2] = cell / (kBlockCells * kBlockCells);
      mask_ = block_.cellMask(ctx_, cell);
      for (const auto& tet : kTetrahedra) polygonizeTetrahedron(tet);
    }
    out_.evaluations += block_.evaluations;
  }

 private:
  void polygonizeTetrahedron(const int tet[4]) {
    int inside[4], outside[4];
    int negatives = 0, positives = 0;
    for (int k = 0; k < 4; ++k) {
      if ((mask_ >> tet[k]) & 1) {
        inside[negatives++] = tet[k];
      } else {
        outside[positives++] = tet[k];
      }
    }
    if (negatives == 0 || positives == 0) return;
    // Any corner of the outside class fixes which way the polygon faces.
    int outsideCorner = ctx_.outsideNegative ? inside[0] : outside[0];
    if (negatives == 2) {
      int a = inside[0], b = inside[1], c = outside[0], d = outside[1];
      int edges[4][2] = {{a, c}, {b, c}, {b, d}, {a, d}};
      emitPolygon(edges, 4, outsideCorner);
      return;
    }
    int lone = negatives == 1 ? inside[0] : outside[0];
    const int* others = negatives == 1 ? outside : inside;
    int edges[3][2] = {{lone, others[0]}, {lone, others[1]}, {lone, others[2]}};
    emitPolygon(edges, 3, outsideCorner);
  }

  // edges: the polygon's corners as cube edges, in cyclic order.
  void emitPolygon(int edges[][2], int count, int outsideCorner) {
    // Orientation from the edge midpoints in doubled lattice units: exact
    // integers, and the midpoint polygon separates the tetrahedron's classes
    // strictly, so the test never degenerates.
    int mid[4][3];
    for (int v = 0; v < count; ++v) {
      for (int a = 0; a < 3; ++a) mid[v][a] = bitOf(edges[v][0], a) + bitOf(edges[v][1], a);
    }
    long u[3], w[3], toOutside[3];
    for (int a = 0; a < 3; ++a) {
      u[a] = mid[1][a] - mid[0][a];
      w[a] = mid[2][a] - mid[0][a];
      toOutside[a] = 2 * bitOf(outsideCorner, a) - mid[0][a];
    }
    long normal[3] = {u[1] * w[2] - u[2] * w[1], u[2] * w[0] - u[0] * w[2], u[0] * w[1] - u[1] * w[0]};
    bool reversed = normal[0] * toOutside[0] + normal[1] * toOutside[1] + normal[2] * toOutside[2] < 0;
    int ids[4];
    for (int v = 0; v < count; ++v) {
      int source = reversed ? count - 1 - v : v;
      ids[v] = vertexOn(edges[source][0], edges[source][1]);
    }
    if (count == 3) {
      emitTriangle(ids[0], ids[1], ids[2]);
      return;
    }
    // Split the quad along its shorter diagonal.
    if (distanceSq(ids[0], ids[2]) <= distanceSq(ids[1], ids[3])) {
      emitTriangle(ids[0], ids[1], ids[2]);
      emitTriangle(ids[0], ids[2], ids[3]);
    } else {
      emitTriangle(ids[1], ids[2], ids[3]);
      emitTriangle(ids[1], ids[3], ids[0]);
    }
  }

  double distanceSq(int i, int j) const {
    double sum = 0.0;
    for (int a = 0; a < 3; ++a) {
      double d = static_cast<double>(out_.vertices[i].position[a]) - out_.vertices[j].position[a];
      sum += d * d;
    }
    return sum;
  }

  void emitTriangle(int i, int j, int k) {
    for (int id : {i, j, k}) out_.triangleKeys.push_back(keys_[id]);
  }

  // Local index of the vertex on the cube edge between corners c0 and c1 of
  // the current cell; computed once per block.
  int vertexOn(int c0, int c1) {
    // Every tetrahedron edge runs from a corner to a corner with a superset
    // of its bits: name it by that lower corner and the direction bits.
    int low = (c0 & c1) == c0 ? c0 : c1;
    int high = low == c0 ? c1 : c0;
    int p[3], q[3];
    for (int a = 0; a < 3; ++a) {
      p[a] = local_[a] + bitOf(low, a);
      q[a] = local_[a] + bitOf(high, a);
    }
    const SurfaceGrid& grid = ctx_.grid;
    uint64_t key = grid.pointKey(block_.base[0] + p[0], block_.base[1] + p[1], block_.base[2] + p[2]) *
                       8u +
                   static_cast<uint64_t>(high & ~low);
    auto [slot, added] = out_.localIndex.try_emplace(key, static_cast<int>(out_.vertices.size()));
    if (added) {
      float a[3], b[3];
      grid.point(block_.base[0] + p[0], block_.base[1] + p[1], block_.base[2] + p[2], a);
      grid.point(block_.base[0] + q[0], block_.base[1] + q[1], block_.base[2] + q[2], b);
      float fa = block_.value(ctx_, p[0], p[1], p[2]);
      float fb = block_.value(ctx_, q[0], q[1], q[2]);
      out_.vertices.push_back(placeVertex(ctx_, a, fa, b, fb, &out_.evaluations));
      keys_.push_back(key);
    }
    return slot->second;
  }

  const Context& ctx_;
  BlockCache& block_;
  BlockMesh& out_;
  std::vector<uint64_t> keys_;  // edge key of every local vertex
  int local_[3] = {0, 0, 0};
  int mask_ = 0;
};

// Which sign class the function takes on its box: the majority of the eight
// box corners (ties: the sign of their sum).
bool boxIsNegative(const ImplicitFunction& function) {
  int negatives = 0;
  double sum = 0.0;
  for (int c = 0; c < 8; ++c) {
    float p[3];
    for (int a = 0; a < 3; ++a) p[a] = bitOf(c, a) ? function.boxMax[a] : function.boxMin[a];
    float v = function.value(p[0], p[1], p[2]);
    negatives += negative(v) ? 1 : 0;
    sum += v;
  }
  return negatives > 4 || (negatives == 4 && sum < 0.0);
}

// Seed cells for tracing: the cells at every band record's centre after it
// has been carried onto the surface along the gradient (centres of coarse
// band records, and of any level under regularization, need not lie on the
// surface).
std::vector<Seed> seedCells(const Context& ctx, const BandSource& source, const std::vector<bool>& band,
                            long* evaluations) {
  const SurfaceGrid& grid = ctx.grid;
  const std::vector<BandRecord>& records = source.records;
  std::vector<Seed> seeds(8 * records.size(), Seed{UINT64_MAX, 0});
  const double closeEnough =
      kProjectionTolerance * std::min({grid.spacing[0], grid.spacing[1], grid.spacing[2]});
  long projected = 0;
#pragma omp parallel for schedule(dynamic, 1024) reduction(+ : projected)
  for (long i = 0; i < static_cast<long>(records.size()); ++i) {
    float p[3] = {records[i].centre[0], records[i].centre[1], records[i].centre[2]};
    for (int step = 0; step < kProjectionSteps; ++step) {
      float g[3];
      float f = ctx.function.valueAndGradient(g, p[0], p[1], p[2]);
      ++projected;
      double gradSq = double{g[0]} * g[0] + double{g[1]} * g[1] + double{g[2]} * g[2];
      if (!(gradSq > 0.0) || !std::isfinite(gradSq)) break;
      double scale = -static_cast<double>(f) / gradSq;
      double length = std::fabs(scale) * std::sqrt(gradSq);
      if (length <= closeEnough) break;
      if (length > records[i].radius) scale *= records[i].radius / length;
      for (int a = 0; a < 3; ++a) p[a] = static_cast<float>(p[a] + scale * g[a]);
    }
    // The eight cells around the grid point nearest to p hold every point
    // within half a cell of p, so a surface that only grazes p's own cell
    // (or runs along a face of it, where values are exactly 0) is found.
    int nearest[3];
    for (int a = 0; a < 3; ++a) {
      double t = grid.spacing[a] > 0.0 ? (static_cast<double>(p[a]) - grid.origin[a]) / grid.spacing[a] : 0.0;
      nearest[a] = static_cast<int>(std::clamp(std::round(t), 0.0, static_cast<double>(grid.n[a])));
    }
    for (int corner = 0; corner < 8; ++corner) {
      int cell[3];
      for (int a = 0; a < 3; ++a) cell[a] = std::clamp(nearest[a] - 1 + bitOf(corner, a), 0, grid.n[a] - 1);
      uint64_t key = grid.blockKey(cell[0] / kBlockCells, cell[1] / kBlockCells, cell[2] / kBlockCells);
      if (band[key]) {
        seeds[8 * i + corner] = {key, localCell(cell[0] % kBlockCells, cell[1] % kBlockCells,
                                                cell[2] % kBlockCells)};
      }
    }
  }
  *evaluations += projected;
  std::sort(seeds.begin(), seeds.end());
  seeds.erase(std::unique(seeds.begin(), seeds.end()), seeds.end());
  while (!seeds.empty() && seeds.back().block == UINT64_MAX) seeds.pop_back();
  return seeds;
}

// Traces the surface from the seeds, round by round: each round processes
// the blocks with pending seeds in parallel and collects the cells where the
// surface leaves them. The set of surface cells reached is the same whatever
// the order, so the result does not depend on the threads.
std::vector<std::unique_ptr<BlockCache>> traceSurface(const Context& ctx, const std::vector<bool>& band,
                                                      std::vector<Seed> seeds, std::FILE* progressOut,
                                                      long bandBlockCount) {
  std::unordered_map<uint64_t, std::unique_ptr<BlockCache>> caches;
  Progress progress(progressOut, "tracing", bandBlockCount);
  while (!seeds.empty()) {
    std::sort(seeds.begin(), seeds.end());
    seeds.erase(std::unique(seeds.begin(), seeds.end()), seeds.end());
    std::vector<std::pair<size_t, size_t>> groups;  // seed ranges of one block each
    std::vector<BlockCache*> blocks;
    for (size_t begin = 0; begin < seeds.size();) {
      size_t end = begin;
      while (end < seeds.size() && seeds[end].block == seeds[begin].block) ++end;
      auto& cache = caches[seeds[begin].block];
      if (!cache) cache = std::make_unique<BlockCache>(ctx.grid, seeds[begin].block);
      groups.emplace_back(begin, end);
      blocks.push_back(cache.get());
      begin = end;
    }
    std::vector<std::vector<Seed>> outgoing(groups.size());
#pragma omp parallel for schedule(dynamic, 1)
    for (long g = 0; g < static_cast<long>(groups.size()); ++g) {
      std::vector<int> stack;
      for (size_t s = groups[g].first; s < groups[g].second; ++s) stack.push_back(seeds[s].cell);
      traceBlock(ctx, band, *blocks[g], std::move(stack), outgoing[g]);
      progress.advance(1);
    }
    seeds.clear();
    for (auto& out : outgoing) seeds.insert(seeds.end(), out.begin(), out.end());
  }
  std::vector<std::pair<uint64_t, std::unique_ptr<BlockCache>>> ordered;
  ordered.reserve(caches.size());
  for (auto& entry : caches) ordered.emplace_back(entry.first, std::move(entry.second));
  std::sort(ordered.begin(), ordered.end(),
            [](const auto& x, const auto& y) { return x.first < y.first; });
  std::vector<std::unique_ptr<BlockCache>> result;
  result.reserve(ordered.size());
  for (auto& entry : ordered) result.push_back(std::move(entry.second));
  return result;
}

// Appends the block meshes in block order, numbering vertices by first use.
TriangleMesh mergeBlocks(const std::vector<BlockMesh>& meshes, bool withNormals) {
  TriangleMesh mesh;
  std::unordered_map<uint64_t, int> globalIndex;
  size_t triangleKeys = 0;
  for (const BlockMesh& block : meshes) triangleKeys += block.triangleKeys.size();
  mesh.triangles.reserve(triangleKeys);
  globalIndex.reserve(triangleKeys / 2 + 1);
  for (const BlockMesh& block : meshes) {
    for (uint64_t key : block.triangleKeys) {
      auto [slot, added] = globalIndex.try_emplace(key, static_cast<int>(mesh.positions.size() / 3));
      if (added) {
        const PlacedVertex& v = block.vertices[block.localIndex.at(key)];
        mesh.positions.insert(mesh.positions.end(), v.position, v.position + 3);
        if (withNormals) mesh.normals.insert(mesh.normals.end(), v.normal, v.normal + 3);
      }
      mesh.triangles.push_back(slot->second);
    }
  }
  return mesh;
}

}  // namespace

TriangleMesh extractSurface(const ImplicitFunction& function, const ExtractionOptions& options,
                            ExtractionStats* stats) {
  ExtractionStats local;
  ExtractionStats& s = stats ? *stats : local;
  s = ExtractionStats{};
  BandSource source = collectBandRecords(function);
  s.finestRadius = source.finestRadius;
  s.resolution = options.resolution != 0 ? options.resolution : defaultResolution(function, source);
  SurfaceGrid grid = SurfaceGrid::overBox(function.boxMin, function.boxMax, s.resolution);
  for (int a = 0; a < 3; ++a) s.cells[a] = grid.n[a];
  s.cellSize = std::max({grid.spacing[0], grid.spacing[1], grid.spacing[2]});

  s.outsideNegative = boxIsNegative(function);
  s.evaluations += 8;
  double smallestSpacing = std::min({grid.spacing[0], grid.spacing[1], grid.spacing[2]});
  Context ctx{function, grid, s.outsideNegative != options.flip, kPolishStepLimit * smallestSpacing};

  std::vector<std::unique_ptr<BlockCache>> blocks;
  std::vector<bool> band;
  if (options.fullBox) {
    band.assign(grid.blockCount(), true);
    s.bandBlocks = static_cast<long>(grid.blockCount());
  } else {
    band = bandBlocks(grid, source);
    s.bandBlocks = std::count(band.begin(), band.end(), true);
    std::vector<Seed> seeds = seedCells(ctx, source, band, &s.evaluations);
    s.seedCells = static_cast<long>(seeds.size());
    blocks = traceSurface(ctx, band, std::move(seeds), options.progress, s.bandBlocks);
  }

  // Full box: every block is examined here, one at a time per thread, so
  // that only blocks with surface keep their values.
  long blockTotal = options.fullBox ? static_cast<long>(grid.blockCount()) : static_cast<long>(blocks.size());
  std::vector<BlockMesh> meshes(blockTotal);
  std::vector<long> crossings(blockTotal, 0);
  {
    Progress progress(options.progress, options.fullBox ? "meshing" : "vertices", blockTotal);
#pragma omp parallel for schedule(dynamic, 1)
    for (long b = 0; b < blockTotal; ++b) {
      std::unique_ptr<BlockCache> owned;
      BlockCache* block = nullptr;
      if (options.fullBox) {
        owned = std::make_unique<BlockCache>(grid, static_cast<uint64_t>(b));
        block = owned.get();
        for (int cell = 0; cell < kBlockCellCount; ++cell) {
          int ci = cell % kBlockCells, cj = (cell / kBlockCells) % kBlockCells;
          int ck = cell / (kBlockCells * kBlockCells);
          if (ci >= block->size[0] || cj >= block->size[1] || ck >= block->size[2]) continue;
          int mask = block->cellMask(ctx, cell);
          if (mask != 0 && mask != 0xFF) block->crossing.push_back(cell);
        }
      } else {
        block = blocks[b].get();
      }
      crossings[b] = static_cast<long>(block->crossing.size());
      BlockTriangulator(ctx, *block, meshes[b]).run();
      if (!options.fullBox) blocks[b].reset();
      progress.advance(1);
    }
  }
  s.visitedBlocks = blockTotal;
  for (long b = 0; b < blockTotal; ++b) {
    s.surfaceCells += crossings[b];
    s.evaluations += meshes[b].evaluations;
  }
  return mergeBlocks(meshes, options.normals);
}

}  // namespace wendfit

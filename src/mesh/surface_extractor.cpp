#include "mesh/surface_extractor.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <utility>

#include "core/error.h"
#include "mesh/curved_edges.h"
#include "mesh/mesh_topology.h"
#include "mesh/surface_blocks.h"
#include "mesh/surface_grid.h"
#include "mesh/triangle_crossings.h"

namespace wendfit {

namespace {

using namespace mesh_detail;

// Newton steps that carry a band record's centre onto the surface; a step
// shorter than kProjectionTolerance grid spacings ends them (the finest
// level's centres lie on the surface already, up to the regularization).
constexpr int kProjectionSteps = 4;
constexpr double kProjectionTolerance = 0.05;
// Mesh edges (and faces) whose middle lies farther than this many grid
// spacings from the surface get a vertex there (see splitCurvedEdges). On
// the 1,000,000-point bear the flat faces strayed twice as far from the
// scan as the vertices (3.4e-4 against 1.6e-4 of its diagonal); at this
// tolerance 2.0e-4, for 1 % more evaluations (7 % on the thin-limbed
// diplodocus at 100,000 points).
constexpr double kCurvedEdgeCells = 0.04;
// A vertex off its grid edge by less than this many grid spacings takes its
// triangles through another one only where the function's rounding decides
// (measured: on the sampled scans at 100,000 points, every crossing the
// whole mesh's check finds, man, cow, camel and 3torus, had a vertex moved
// further), so only the triangles of vertices moved further are checked.
constexpr double kMovedVertexCells = 1e-3;
// Rounds of moving vertices back (each round checks the triangles that the
// last one moved).
constexpr int kMostSettleRounds = 4;

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
    if (out_) std::fprintf(out_, "\r%*s\r", 75, "");
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
  // The remaining time assumes the rest goes at the pace so far.
  void draw(int percent) {
    if (!out_) return;
    int filled = percent * 30 / 100;
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    std::fprintf(out_, "\r%-10s [%.*s%*s] %3d%% %6.1f s", label_, filled, "##############################",
                 30 - filled, "", percent, elapsed);
    if (percent > 0 && percent < 100) std::fprintf(out_, ", %.0f s left ", elapsed * (100 - percent) / percent);
    std::fflush(out_);
  }

  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();

  std::FILE* out_;
  const char* label_;
  long total_;
  std::atomic<long> done_{0};
  std::atomic<int> shown_{0};
};

// Whether the 4 corners of a cell face (axis, side) are of mixed sign.
bool faceMixed(int mask, int axis, int side) {
  int seen = 0;
  for (int c = 0; c < 8; ++c) {
    if (bitOf(c, axis) == side) seen |= ((mask >> c) & 1) ? 2 : 1;
  }
  return seen == 3;
}

// Bits of a local cell index's three coordinates interleaved: cells close
// in space come close in this order.
int mortonOf(int cell) {
  const int local[3] = {cell % kBlockCells, (cell / kBlockCells) % kBlockCells,
                        cell / (kBlockCells * kBlockCells)};
  int code = 0;
  for (int b = 0; (1 << b) < kBlockCells; ++b) {
    for (int a = 0; a < 3; ++a) code |= ((local[a] >> b) & 1) << (3 * b + a);
  }
  return code;
}

// Examines one cell of the block: where the surface crosses it, records it
// and passes the surface on through its mixed faces, to `stack` inside the
// block and to `outgoing` across the block's faces.
void traceCell(const Context& ctx, BlockCache& block, int cell, std::vector<int>& stack,
               std::vector<Seed>& outgoing) {
  const SurfaceGrid& grid = ctx.grid;
  const int mask = block.cellMask(ctx, cell);
  if (mask == 0 || mask == 0xFF) return;
  block.crossing.push_back(cell);
  block.crossed[cell] = 1;
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
      int ext[3];
      for (int a = 0; a < 3; ++a) ext[a] = block.base[a] + next[a];
      if (ext[axis] < 0 || ext[axis] >= grid.n[axis] + 2) continue;
      uint64_t key = grid.blockKey(ext[0] / kBlockCells, ext[1] / kBlockCells, ext[2] / kBlockCells);
      outgoing.push_back({key, localCell(ext[0] % kBlockCells, ext[1] % kBlockCells, ext[2] % kBlockCells)});
    }
  }
}

// Follows the surface through the cells of one block, starting at `stack`;
// cells across the block's faces that the surface enters go to `outgoing`.
// The surface is followed through every cell of the extended grid, so a
// sheet ends only where it closes, on itself or on the box's faces. Cells
// are taken in waves, all pending cells at once in Morton order, with their
// corners evaluated together first (BlockCache::evaluateCorners); the
// cells reached do not depend on the order.
void traceBlock(const Context& ctx, BlockCache& block, std::vector<int> stack, std::vector<Seed>& outgoing) {
  std::vector<int> wave;
  while (!stack.empty()) {
    wave.clear();
    for (int cell : stack) {
      if (block.visited[cell]) continue;
      block.visited[cell] = 1;
      wave.push_back(cell);
    }
    stack.clear();
    std::sort(wave.begin(), wave.end(), [](int a, int b) { return mortonOf(a) < mortonOf(b); });
    block.evaluateCorners(ctx, wave);
    for (int cell : wave) traceCell(ctx, block, cell, stack, outgoing);
  }
}

// Which sign class the function takes on its box: the majority of the eight
// box corners (ties: the sign of their sum).
bool boxIsNegative(const ImplicitFunction& function) {
  int negatives = 0;
  double sum = 0.0;
  for (int c = 0; c < 8; ++c) {
    float p[3];
    for (int a = 0; a < 3; ++a) p[a] = bitOf(c, a) ? function.boxMax()[a] : function.boxMin()[a];
    float v = function.plainValue(p[0], p[1], p[2]);
    negatives += negative(v) ? 1 : 0;
    sum += v;
  }
  return negatives > 4 || (negatives == 4 && sum < 0.0);
}

// The eight cells around the grid point nearest to p. They hold every point
// within half a cell of p, so a surface that only grazes p's own cell (or
// runs along one of its faces, where values are exactly 0) is still met.
void cellsAround(const SurfaceGrid& grid, const float p[3], int cells[8][3]) {
  int nearest[3];
  for (int a = 0; a < 3; ++a) {
    double t = grid.spacing[a] > 0.0 ? (static_cast<double>(p[a]) - grid.origin[a]) / grid.spacing[a] : 0.0;
    nearest[a] = static_cast<int>(std::clamp(std::round(t), 0.0, static_cast<double>(grid.n[a])));
  }
  for (int corner = 0; corner < 8; ++corner) {
    for (int a = 0; a < 3; ++a) cells[corner][a] = std::clamp(nearest[a] - 1 + bitOf(corner, a), 0, grid.n[a] - 1);
  }
}

// Follows the surface from seed cells, round by round: each round processes
// the blocks with pending seeds in parallel and collects the cells where the
// surface leaves them. The set of surface cells reached does not depend on
// the order, so neither does the result on the threads.
class SurfaceTracer {
 public:
  // `expectedBlocks` only scales the progress bar.
  SurfaceTracer(const Context& ctx, std::FILE* progressOut, long expectedBlocks)
      : ctx_(ctx), progress_(progressOut, "tracing", expectedBlocks) {}

  // Adds the cell that holds p to the seeds of the next trace().
  void seedAt(const float p[3]) {
    int cell[3];
    ctx_.grid.cellOf(p, cell);
    pending_.push_back(seedOf(cell));
  }

  // Adds the cells around p to the seeds of the next trace().
  void seedAround(const float p[3]) {
    for (const Seed& seed : seedsAround(p)) pending_.push_back(seed);
  }

  // Whether any cell around p is known to be crossed by the surface.
  bool crossedAround(const float p[3]) const {
    for (const Seed& seed : seedsAround(p)) {
      auto found = caches_.find(seed.block);
      if (found != caches_.end() && found->second->crossed[seed.cell]) return true;
    }
    return false;
  }

  long seedCount() const { return seedCount_; }

  void trace() {
    std::vector<Seed> seeds = std::move(pending_);
    pending_.clear();
    while (!seeds.empty()) {
      std::sort(seeds.begin(), seeds.end());
      seeds.erase(std::unique(seeds.begin(), seeds.end()), seeds.end());
      seedCount_ += static_cast<long>(seeds.size());
      std::vector<std::pair<size_t, size_t>> groups;  // seed ranges of one block each
      std::vector<BlockCache*> blocks;
      for (size_t begin = 0; begin < seeds.size();) {
        size_t end = begin;
        while (end < seeds.size() && seeds[end].block == seeds[begin].block) ++end;
        BlockCache* cache = cacheOf(seeds[begin].block);
        linkOwners(*cache);
        groups.emplace_back(begin, end);
        blocks.push_back(cache);
        begin = end;
      }
      std::vector<std::vector<Seed>> outgoing(groups.size());
#pragma omp parallel for schedule(dynamic, 1)
      for (long g = 0; g < static_cast<long>(groups.size()); ++g) {
        std::vector<int> stack;
        for (size_t k = groups[g].first; k < groups[g].second; ++k) stack.push_back(seeds[k].cell);
        traceBlock(ctx_, *blocks[g], std::move(stack), outgoing[g]);
        progress_.advance(1);
      }
      seeds.clear();
      for (auto& out : outgoing) seeds.insert(seeds.end(), out.begin(), out.end());
    }
  }

  // The visited blocks in block order; the tracer is empty afterwards.
  std::vector<std::unique_ptr<BlockCache>> takeBlocks() {
    std::vector<std::pair<uint64_t, std::unique_ptr<BlockCache>>> ordered;
    ordered.reserve(caches_.size());
    for (auto& entry : caches_) ordered.emplace_back(entry.first, std::move(entry.second));
    caches_.clear();
    std::sort(ordered.begin(), ordered.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
    std::vector<std::unique_ptr<BlockCache>> result;
    result.reserve(ordered.size());
    for (auto& entry : ordered) result.push_back(std::move(entry.second));
    return result;
  }

 private:
  BlockCache* cacheOf(uint64_t key) {
    auto& cache = caches_[key];
    if (!cache) cache = std::make_unique<BlockCache>(ctx_.grid, key);
    return cache.get();
  }

  // Points the block at the blocks that own the grid points on its upper
  // faces, creating them, so that those points are evaluated once.
  void linkOwners(BlockCache& block) {
    const SurfaceGrid& grid = ctx_.grid;
    for (int h = 1; h < 8; ++h) {
      if (block.owners[h]) continue;
      int b[3];
      bool inside = true;
      for (int a = 0; a < 3; ++a) {
        b[a] = block.base[a] / kBlockCells + bitOf(h, a);
        inside = inside && b[a] < grid.blocks[a];
      }
      // Beyond the last block only virtual points remain.
      if (inside) block.owners[h] = cacheOf(grid.blockKey(b[0], b[1], b[2]));
    }
  }

  std::array<Seed, 8> seedsAround(const float p[3]) const {
    const SurfaceGrid& grid = ctx_.grid;
    int cells[8][3];
    cellsAround(grid, p, cells);
    std::array<Seed, 8> seeds;
    for (int k = 0; k < 8; ++k) seeds[k] = seedOf(cells[k]);
    return seeds;
  }

  // The seed of grid cell `cell` (grid indices).
  Seed seedOf(const int cell[3]) const {
    uint64_t key = ctx_.grid.blockKey(SurfaceGrid::blockOfCell(cell[0]), SurfaceGrid::blockOfCell(cell[1]),
                                      SurfaceGrid::blockOfCell(cell[2]));
    return Seed{key, localCell(SurfaceGrid::localOfCell(cell[0]), SurfaceGrid::localOfCell(cell[1]),
                               SurfaceGrid::localOfCell(cell[2]))};
  }

  const Context& ctx_;
  Progress progress_;
  std::unordered_map<uint64_t, std::unique_ptr<BlockCache>> caches_;
  std::vector<Seed> pending_;
  long seedCount_ = 0;
};

// Carries p onto the surface by Newton steps along the gradient, each at
// most `reach` long; stops when a step would be shorter than `closeEnough`.
void projectOntoSurface(const ImplicitFunction& function, float p[3], double reach, double closeEnough,
                        long* evaluations) {
  for (int step = 0; step < kProjectionSteps; ++step) {
    float g[3];
    float f = function.valueAndGradient(g, p[0], p[1], p[2]);
    ++*evaluations;
    double gradSq = double{g[0]} * g[0] + double{g[1]} * g[1] + double{g[2]} * g[2];
    if (!(gradSq > 0.0) || !std::isfinite(gradSq)) return;
    double scale = -static_cast<double>(f) / gradSq;
    double length = std::fabs(scale) * std::sqrt(gradSq);
    if (length <= closeEnough) return;
    if (length > reach) scale *= reach / length;
    for (int a = 0; a < 3; ++a) p[a] = static_cast<float>(p[a] + scale * g[a]);
  }
}

// About how many blocks the surface crosses: those that hold a record's
// centre (only for the progress bar).
long expectedSurfaceBlocks(const SurfaceGrid& grid, const std::vector<BandRecord>& records) {
  std::vector<uint64_t> keys;
  keys.reserve(records.size());
  for (const BandRecord& record : records) {
    int cell[3];
    grid.cellOf(record.centre, cell);
    keys.push_back(grid.blockKey(SurfaceGrid::blockOfCell(cell[0]), SurfaceGrid::blockOfCell(cell[1]),
                                 SurfaceGrid::blockOfCell(cell[2])));
  }
  std::sort(keys.begin(), keys.end());
  return static_cast<long>(std::unique(keys.begin(), keys.end()) - keys.begin());
}

// Traces the surface from the band records' centres. The finest level's
// centres lie on the surface (the fit makes the function vanish there), so
// the cells that hold them are tried first, at no cost beyond their corners;
// only records near which no surface was found are then carried onto the
// surface along the gradient (centres of coarse band records, and every
// centre under regularization), and tried with the cells around them.
std::vector<std::unique_ptr<BlockCache>> traceFromRecords(const Context& ctx, const BandSource& source,
                                                          std::FILE* progressOut, ExtractionStats& stats) {
  const std::vector<BandRecord>& records = source.records;
  SurfaceTracer tracer(ctx, progressOut, expectedSurfaceBlocks(ctx.grid, records));
  for (const BandRecord& record : records) tracer.seedAt(record.centre);
  tracer.trace();

  std::vector<long> missed;
  for (long i = 0; i < static_cast<long>(records.size()); ++i) {
    if (!tracer.crossedAround(records[i].centre)) missed.push_back(i);
  }
  std::vector<std::array<float, 3>> projected(missed.size());
  const double closeEnough =
      kProjectionTolerance * std::min({ctx.grid.spacing[0], ctx.grid.spacing[1], ctx.grid.spacing[2]});
  long evaluations = 0;
#pragma omp parallel for schedule(dynamic, 256) reduction(+ : evaluations)
  for (long m = 0; m < static_cast<long>(missed.size()); ++m) {
    const BandRecord& record = records[missed[m]];
    std::copy(record.centre, record.centre + 3, projected[m].begin());
    projectOntoSurface(ctx.function, projected[m].data(), record.radius, closeEnough, &evaluations);
  }
  stats.evaluations += evaluations;
  for (const auto& p : projected) tracer.seedAround(p.data());
  tracer.trace();
  stats.seedCells = tracer.seedCount();
  return tracer.takeBlocks();
}

// Appends the block meshes in block order, numbering vertices by first use.
// A vertex on a block's border is in two or more blocks under one key; the
// key is looked up once per block that uses the vertex, not once per
// corner (six times fewer lookups in a table too large for the caches).
TriangleMesh mergeBlocks(const std::vector<BlockMesh>& meshes, bool withNormals, std::vector<uint64_t>& keys) {
  TriangleMesh mesh;
  FlatKeyMap<int> globalIndex;
  size_t corners = 0, vertices = 0;
  for (const BlockMesh& block : meshes) {
    corners += block.triangles.size();
    vertices += block.vertices.size();
  }
  mesh.triangles.reserve(corners);
  globalIndex.reserve(vertices);
  std::vector<int> global;  // the block's local vertices' numbers, -1 until used
  for (const BlockMesh& block : meshes) {
    global.assign(block.vertices.size(), -1);
    for (int local : block.triangles) {
      int& number = global[local];
      if (number < 0) {
        auto [slot, added] =
            globalIndex.tryEmplace(block.vertexKeys[local], static_cast<int>(mesh.positions.size() / 3));
        if (added) {
          const PlacedVertex& v = block.vertices[local];
          keys.push_back(block.vertexKeys[local]);
          mesh.positions.insert(mesh.positions.end(), v.position, v.position + 3);
          if (withNormals) mesh.normals.insert(mesh.normals.end(), v.normal, v.normal + 3);
        }
        number = *slot;
      }
      mesh.triangles.push_back(number);
    }
  }
  return mesh;
}

// Whether vertex v (key `key`) was moved off its grid edge by more than
// kMovedVertexCells grid spacings, or is a polygon's centre.
bool movedOffEdge(const SurfaceGrid& grid, uint64_t key, const float* p) {
  if (isCentreKey(key)) return true;
  int low[3];
  const int axis = edgeOfKey(grid, key, low);
  if (axis < 0) return false;
  float corner[3];
  grid.point(low[0], low[1], low[2], corner);
  double off = 0.0;
  for (int a = 0; a < 3; ++a) {
    if (a == axis) continue;
    const double d = (static_cast<double>(p[a]) - corner[a]) / grid.spacing[a];
    off += d * d;
  }
  return off > kMovedVertexCells * kMovedVertexCells;
}

// Marching cubes keeps every triangle inside its cube, so two triangles can
// only meet where they share a vertex or a cube face; a vertex that the
// gradient step carried off its grid edge (where the edge grazes the
// surface) or a polygon's centre can take a triangle through another one
// where the surface passes close by a grid point or two sheets run within a
// cell. Those triangles are checked, and the vertices of the ones that pass
// through another go back onto their grid edges (found on the edge, still on
// the surface) or, for a polygon's centre, to the middle of its polygon;
// then the triangles they hold are checked again, a few rounds at most.
// Returns the number of vertices moved back.
long settleCrossings(TriangleMesh& mesh, const std::vector<uint64_t>& keys, const Context& ctx, long* evaluations) {
  const long vertexCount = static_cast<long>(keys.size());
  const long triangleCount = mesh.triangleCount();
  std::vector<char> marked(static_cast<size_t>(vertexCount), 0);
#pragma omp parallel for schedule(static)
  for (long v = 0; v < vertexCount; ++v) marked[v] = movedOffEdge(ctx.grid, keys[v], &mesh.positions[3 * v]);
  std::vector<char> settled(static_cast<size_t>(vertexCount), 0);
  long count = 0;
  for (int round = 0; round < kMostSettleRounds; ++round) {
    const std::vector<char> crossing = crossingTrianglesAround(mesh, marked);
    std::fill(marked.begin(), marked.end(), 0);
    std::vector<int> edgeVertices, centres;
    for (long t = 0; t < triangleCount; ++t) {
      if (!crossing[t]) continue;
      for (int k = 0; k < 3; ++k) {
        const int v = mesh.triangles[3 * t + k];
        if (settled[v]) continue;
        settled[v] = 1;
        (isCentreKey(keys[v]) ? centres : edgeVertices).push_back(v);
      }
    }
    const long edgeCount = static_cast<long>(edgeVertices.size());
    long placed = 0;
#pragma omp parallel for schedule(dynamic, 1) reduction(+ : placed)
    for (long i = 0; i < edgeCount; ++i) {
      const int v = edgeVertices[i];
      long used = 0;
      if (placeOnEdge(ctx, keys[v], &mesh.positions[3 * static_cast<size_t>(v)], &used)) marked[v] = 1;
      placed += used;
    }
    *evaluations += placed;
    // A centre goes to the middle of its polygon (its ring, where every
    // corner is counted twice), once the corners are back on their edges.
    if (!centres.empty()) {
      std::vector<int> slot(static_cast<size_t>(vertexCount), -1);
      for (size_t i = 0; i < centres.size(); ++i) slot[centres[i]] = static_cast<int>(i);
      std::vector<double> sums(4 * centres.size(), 0.0);
      for (long t = 0; t < triangleCount; ++t) {
        for (int k = 0; k < 3; ++k) {
          const int i = slot[mesh.triangles[3 * t + k]];
          if (i < 0) continue;
          for (int step : {1, 2}) {
            const float* p = &mesh.positions[3 * static_cast<size_t>(mesh.triangles[3 * t + (k + step) % 3])];
            for (int a = 0; a < 3; ++a) sums[4 * i + a] += p[a];
            sums[4 * i + 3] += 1.0;
          }
        }
      }
      for (size_t i = 0; i < centres.size(); ++i) {
        for (int a = 0; a < 3; ++a) {
          mesh.positions[3 * static_cast<size_t>(centres[i]) + a] = static_cast<float>(sums[4 * i + a] / sums[4 * i + 3]);
        }
        marked[centres[i]] = 1;
      }
    }
    const long moved = static_cast<long>(std::count(marked.begin(), marked.end(), 1));
    if (moved == 0) break;
    count += moved;
  }
  return count;
}

}  // namespace

TriangleMesh extractSurface(const ImplicitFunction& function, const ExtractionOptions& options,
                            ExtractionStats* stats) {
  ExtractionStats local;
  ExtractionStats& s = stats ? *stats : local;
  s = ExtractionStats{};
  BandSource source = collectBandRecords(function);
  s.finestRadius = source.finestRadius;
  s.resolution = options.resolution != 0
                     ? options.resolution
                     : defaultResolution(function, source, options.cellsPerRadius, options.leastCell,
                                         options.leastCellFromCentres);
  if (options.fullBox && s.resolution > kMaxFullBoxResolution) {
    throw Error("--full-box visits every cell: a grid of " + std::to_string(s.resolution) +
                " cells along the box is too fine for it (expected at most " +
                std::to_string(kMaxFullBoxResolution) + "; a coarser --resolution)");
  }
  SurfaceGrid grid = SurfaceGrid::overBox(function.boxMin(), function.boxMax(), s.resolution);
  for (int a = 0; a < 3; ++a) s.cells[a] = grid.n[a];
  s.cellSize = std::max({grid.spacing[0], grid.spacing[1], grid.spacing[2]});

  s.outsideNegative = boxIsNegative(function);
  s.evaluations += 8;
  double smallestSpacing = std::min({grid.spacing[0], grid.spacing[1], grid.spacing[2]});
  Context ctx{function, grid, s.outsideNegative, kPolishStepLimit * smallestSpacing, options.normals,
              options.quickTerms};

  std::vector<std::unique_ptr<BlockCache>> blocks;
  if (!options.fullBox) blocks = traceFromRecords(ctx, source, options.progress, s);

  // Traced: every vertex is placed once by the block that owns its edge,
  // then every block triangulates. Full box: every block is examined here,
  // one at a time per thread and on its own, so that only blocks with
  // surface keep their values.
  long blockTotal = options.fullBox ? static_cast<long>(grid.blockCount()) : static_cast<long>(blocks.size());
  std::vector<BlockMesh> meshes(blockTotal);
  std::vector<long> crossings(blockTotal, 0);
  {
    Progress progress(options.progress, options.fullBox ? "meshing" : "vertices", 2 * blockTotal);
    if (!options.fullBox) {
#pragma omp parallel for schedule(dynamic, 1)
      for (long b = 0; b < blockTotal; ++b) {
        placeOwnedVertices(ctx, *blocks[b]);
        progress.advance(1);
      }
    }
#pragma omp parallel for schedule(dynamic, 1)
    for (long b = 0; b < blockTotal; ++b) {
      std::unique_ptr<BlockCache> owned;
      BlockCache* block = nullptr;
      if (options.fullBox) {
        owned = std::make_unique<BlockCache>(grid, static_cast<uint64_t>(b));
        block = owned.get();
        std::vector<int> cells;
        for (int cell = 0; cell < kBlockCellCount; ++cell) {
          int ci = cell % kBlockCells, cj = (cell / kBlockCells) % kBlockCells;
          int ck = cell / (kBlockCells * kBlockCells);
          if (ci < block->size[0] && cj < block->size[1] && ck < block->size[2]) cells.push_back(cell);
        }
        std::sort(cells.begin(), cells.end(), [](int a, int c) { return mortonOf(a) < mortonOf(c); });
        block->evaluateCorners(ctx, cells);
        std::sort(cells.begin(), cells.end());
        for (int cell : cells) {
          int mask = block->cellMask(ctx, cell);
          if (mask != 0 && mask != 0xFF) block->crossing.push_back(cell);
        }
      } else {
        block = blocks[b].get();
      }
      crossings[b] = static_cast<long>(block->crossing.size());
      polygonizeBlock(ctx, *block, meshes[b]);
      progress.advance(options.fullBox ? 2 : 1);
    }
  }
  blocks.clear();
  s.visitedBlocks = blockTotal;
  for (long b = 0; b < blockTotal; ++b) {
    s.surfaceCells += crossings[b];
    s.evaluations += meshes[b].evaluations;
  }
  // The vertices' gradient normals serve the curved-edge test, and are
  // dropped after it unless asked for.
  std::vector<uint64_t> keys;
  TriangleMesh mesh = mergeBlocks(meshes, true, keys);
  meshes.clear();
  // Before the collapses, which merge the vertices that settling may put at
  // one place.
  s.settledVertices = settleCrossings(mesh, keys, ctx, &s.evaluations);
  keys = std::vector<uint64_t>{};
  s.collapsedTriangles = collapseZeroAreaTriangles(mesh);
  CurvedEdgeOptions curved;
  curved.tolerance = std::max(kCurvedEdgeCells * smallestSpacing, options.noise);
  std::copy(grid.origin, grid.origin + 3, curved.boxMin);
  std::copy(grid.upper, grid.upper + 3, curved.boxMax);
  curved.outsideNegative = s.outsideNegative;
  curved.quick = options.quickTerms;
  const CurvedEdgeStats split = splitCurvedEdges(mesh, function, curved);
  s.splitEdges = split.splitEdges;
  s.evaluations += split.evaluations;
  if (!options.normals) mesh.normals = std::vector<float>{};
  if (options.flip) {
    for (size_t t = 0; t < mesh.triangles.size(); t += 3) std::swap(mesh.triangles[t + 1], mesh.triangles[t + 2]);
    for (float& n : mesh.normals) n = -n;
  }
  return mesh;
}

}  // namespace wendfit

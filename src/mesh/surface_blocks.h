#pragma once
// Shared by the surface extractor's stages (not part of the library's
// interface): the extraction context, the per-block cache of grid values and
// surface cells, and the polygonizer that turns a block's surface cells into
// triangles.

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <utility>
#include <vector>

#include "core/flat_key_map.h"
#include "function/implicit_function.h"
#include "mesh/surface_grid.h"

namespace wendfit::mesh_detail {

constexpr int kSide = kBlockCells + 1;  // grid points along a block side
constexpr int kBlockPoints = kSide * kSide * kSide;
constexpr int kBlockCellCount = kBlockCells * kBlockCells * kBlockCells;
static_assert((kBlockCells & (kBlockCells - 1)) == 0, "block sides are a power of two");
// The gradient step that refines a vertex moves it at most this fraction of
// the smallest grid spacing: it polishes the root, it must not carry the
// vertex away from the cell that produced it.
constexpr double kPolishStepLimit = 0.05;

// A value exactly 0 counts as non-negative, everywhere alike.
inline bool negative(float value) { return value < 0.0f; }

inline int bitOf(int corner, int axis) { return (corner >> axis) & 1; }

struct Context {
  const ImplicitFunction& function;
  const SurfaceGrid& grid;
  // Side the triangles face and the normals point to.
  bool outsideNegative;
  double polishStep;  // kPolishStepLimit times the smallest grid spacing
  bool normals;       // whether vertices need normals
  // Evaluate with the function's quick (single-precision) terms.
  bool quick;
  // The values (and exact gradients) the extraction places its surface by;
  // one point alone gets the bits it gets among others.
  void values(const float* xyz, int count, float* out) const { function.plainValues(xyz, count, out, quick); }
  float value(float x, float y, float z) const {
    const float p[3] = {x, y, z};
    float out;
    values(p, 1, &out);
    return out;
  }
  void valuesAndGradients(const float* xyz, int count, float* out, float* gradients) const {
    function.valuesAndExactGradients(xyz, count, out, gradients, quick);
  }
  float valueAndGradient(float gradient[3], float x, float y, float z) const {
    const float p[3] = {x, y, z};
    float out;
    valuesAndGradients(p, 1, &out, gradient);
    return out;
  }
  // Whether a lattice point (extended indices, 0 ... n[a] + 2) is one of the
  // virtual points around the grid.
  bool isVirtual(const int ext[3]) const {
    for (int a = 0; a < 3; ++a) {
      if (ext[a] == 0 || ext[a] == grid.n[a] + 2) return true;
    }
    return false;
  }
  // The value a virtual point stands for: any value of the outside class.
  float outsideValue() const { return outsideNegative ? -1.0f : 1.0f; }
};

// A polygon's centre is keyed by its cell and polygon with this bit set,
// apart from every grid edge's key.
inline constexpr uint64_t kCentreKeyBit = uint64_t{1} << 63;
inline bool isCentreKey(uint64_t key) { return (key & kCentreKeyBit) != 0; }

// The grid edge that vertex key `key` names: its lower grid point into
// `low` and its axis (returned); -1 for a key that names no grid edge (a
// polygon's centre, top bit set, or a box cap, axis slot 3).
inline int edgeOfKey(const SurfaceGrid& grid, uint64_t key, int low[3]) {
  const int axis = static_cast<int>(key & 3u);
  if (isCentreKey(key) || axis == 3) return -1;
  const uint64_t sideI = static_cast<uint64_t>(grid.n[0]) + 3;
  const uint64_t sideJ = static_cast<uint64_t>(grid.n[1]) + 3;
  const uint64_t point = key / 4;
  // pointKey counts from -1 on every axis.
  low[0] = static_cast<int>(point % sideI) - 1;
  low[1] = static_cast<int>(point / sideI % sideJ) - 1;
  low[2] = static_cast<int>(point / sideI / sideJ) - 1;
  return axis;
}

// A surface vertex and its outward unit normal.
struct PlacedVertex {
  float position[3];
  float normal[3];
};

// The grid values of one block, evaluated on first use, and the block's
// share of the surface cells.
//
// Each grid point is stored once: a point on the block's upper faces
// belongs to the neighbouring block (the one whose cells have it as lower
// corner), when `owners` names that block, and is then evaluated once for
// both, by whichever thread asks first (a thread that needs it while the
// first is still at work computes it once more for itself, uncounted).
// Without the neighbour (the whole box, block by block) the block keeps the
// point itself.
// Likewise the vertices on the grid edges leaving the block's own points are
// placed once, into `placed`, before any block triangulates.
struct BlockCache {
  int base[3];  // first extended cell of the block (grid cell + 1)
  int size[3];  // cells of the block per axis (fewer at the lattice's upper end)
  // owners[h]: the block holding points whose local index reaches
  // kBlockCells along the axes of the bits of h; owners[0] is this block.
  BlockCache* owners[8] = {};
  float values[kBlockPoints];
  std::atomic<uint8_t> state[kBlockPoints];  // 0 unknown, 1 being evaluated, 2 known
  uint8_t visited[kBlockCellCount] = {};
  uint8_t crossed[kBlockCellCount] = {};
  std::vector<int> crossing;  // surface cells, local index
  // Vertices on the edges leaving this block's own points, by edge key;
  // written before triangulation starts, read only afterwards.
  FlatKeyMap<PlacedVertex> placed;
  long evaluations = 0;

  BlockCache(const SurfaceGrid& grid, uint64_t key) {
    uint64_t bi = key % static_cast<uint64_t>(grid.blocks[0]);
    uint64_t rest = key / static_cast<uint64_t>(grid.blocks[0]);
    const uint64_t b[3] = {bi, rest % static_cast<uint64_t>(grid.blocks[1]),
                           rest / static_cast<uint64_t>(grid.blocks[1])};
    for (int a = 0; a < 3; ++a) {
      base[a] = static_cast<int>(b[a]) * kBlockCells;
      size[a] = std::min(kBlockCells, grid.n[a] + 2 - base[a]);
    }
    owners[0] = this;
    for (auto& s : state) s.store(0, std::memory_order_relaxed);
  }

  // Where the value of local lattice point (ci, cj, ck), 0 ... kBlockCells
  // each, is kept: *home's values[*index]; false for a virtual point.
  bool locate(const Context& ctx, int ci, int cj, int ck, BlockCache** home, int* index) {
    const int ext[3] = {base[0] + ci, base[1] + cj, base[2] + ck};
    if (ctx.isVirtual(ext)) return false;
    int high = (ci >> 4) | ((cj >> 4) << 1) | ((ck >> 4) << 2);
    *home = owners[high];
    if (*home) {
      *index = ((ck & (kBlockCells - 1)) * kSide + (cj & (kBlockCells - 1))) * kSide + (ci & (kBlockCells - 1));
    } else {
      *home = this;
      *index = (ck * kSide + cj) * kSide + ci;
    }
    return true;
  }

  // Value at local lattice point (ci, cj, ck), 0 ... kBlockCells each.
  float value(const Context& ctx, int ci, int cj, int ck) {
    BlockCache* home;
    int index;
    if (!locate(ctx, ci, cj, ck, &home, &index)) return ctx.outsideValue();
    std::atomic<uint8_t>& slot = home->state[index];
    uint8_t seen = slot.load(std::memory_order_acquire);
    if (seen == 2) return home->values[index];
    float p[3];
    ctx.grid.point(base[0] + ci - 1, base[1] + cj - 1, base[2] + ck - 1, p);
    if (seen == 0 && slot.compare_exchange_strong(seen, 1, std::memory_order_acq_rel)) {
      home->values[index] = ctx.value(p[0], p[1], p[2]);
      ++evaluations;
      slot.store(2, std::memory_order_release);
      return home->values[index];
    }
    if (seen == 2) return home->values[index];
    // Another thread is evaluating the point, perhaps in a batch of hundreds
    // or while it is descheduled on a busy machine: the value is computed
    // here once more (the same bits) instead of waiting, and neither stored
    // nor counted again.
    return ctx.value(p[0], p[1], p[2]);
  }

  // Evaluates the corners of `cells` (local cell indices) that no thread has
  // taken yet, in plainValues calls of up to kCornerBatch points:
  // neighbouring points together cost much less than one by one, and give
  // the same bits, so which points go together changes nothing. Each batch
  // is published before the next is taken, so a thread that needs a point
  // of this block's faces waits for one batch at most, not for the whole
  // wave. `cells` is best in Morton order.
  void evaluateCorners(const Context& ctx, const std::vector<int>& cells) {
    constexpr size_t kCornerBatch = 256;
    std::vector<float> xyz;
    std::vector<std::pair<BlockCache*, int>> slots;
    std::vector<float> results;
    const auto publish = [&]() {
      results.resize(slots.size());
      ctx.values(xyz.data(), static_cast<int>(slots.size()), results.data());
      for (size_t n = 0; n < slots.size(); ++n) {
        slots[n].first->values[slots[n].second] = results[n];
        slots[n].first->state[slots[n].second].store(2, std::memory_order_release);
      }
      evaluations += static_cast<long>(slots.size());
      xyz.clear();
      slots.clear();
    };
    for (int cell : cells) {
      const int ci = cell % kBlockCells, cj = (cell / kBlockCells) % kBlockCells;
      const int ck = cell / (kBlockCells * kBlockCells);
      for (int c = 0; c < 8; ++c) {
        const int l[3] = {ci + bitOf(c, 0), cj + bitOf(c, 1), ck + bitOf(c, 2)};
        BlockCache* home;
        int index;
        if (!locate(ctx, l[0], l[1], l[2], &home, &index)) continue;
        uint8_t unknown = 0;
        if (!home->state[index].compare_exchange_strong(unknown, 1, std::memory_order_acq_rel)) continue;
        float p[3];
        ctx.grid.point(base[0] + l[0] - 1, base[1] + l[1] - 1, base[2] + l[2] - 1, p);
        xyz.insert(xyz.end(), p, p + 3);
        slots.emplace_back(home, index);
      }
      if (slots.size() >= kCornerBatch) publish();
    }
    publish();
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

inline int localCell(int ci, int cj, int ck) { return (ck * kBlockCells + cj) * kBlockCells + ci; }

// The triangles of one block over its own vertices, each vertex named by
// its grid edge (or cell and polygon) key.
struct BlockMesh {
  std::vector<int> triangles;  // 3 local vertex indices per triangle
  std::vector<PlacedVertex> vertices;
  std::vector<uint64_t> vertexKeys;  // key of each local vertex
  long evaluations = 0;
};

// Places the vertices on the crossed grid edges that leave the lower corners
// of the block's surface cells (the edges the block owns) into block.placed.
// Counts evaluations in block.evaluations.
void placeOwnedVertices(const Context& ctx, BlockCache& block);

// Polygonizes the block's surface cells (block.crossing, sorted here) into
// `out`: marching cubes assembled from face segments, with the vertices
// placed on the surface. Takes vertices from the `placed` maps of the block
// and of its owners where they are, places the others itself. Counts every
// evaluation in out.evaluations.
void polygonizeBlock(const Context& ctx, BlockCache& block, BlockMesh& out);

// The surface vertex on the grid edge with vertex key `key`, found on the
// edge itself (no step along the gradient), into `position`. False for a
// key that is not a grid edge's (a polygon's centre, a box cap) or an edge
// whose ends no longer differ in sign class. Counts evaluations.
bool placeOnEdge(const Context& ctx, uint64_t key, float position[3], long* evaluations);

}  // namespace wendfit::mesh_detail

#pragma once
// Shared by the surface extractor's stages (not part of the library's
// interface): the extraction context, the per-block cache of grid values and
// surface cells, and the polygonizer that turns a block's surface cells into
// triangles.

#include <algorithm>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "function/implicit_function.h"
#include "mesh/surface_grid.h"

namespace wendfit::mesh_detail {

constexpr int kSide = kBlockCells + 1;  // grid points along a block side
constexpr int kBlockPoints = kSide * kSide * kSide;
constexpr int kBlockCellCount = kBlockCells * kBlockCells * kBlockCells;
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
};

// The grid values of one block, evaluated on first use, and the block's
// share of the surface cells.
struct BlockCache {
  int base[3];  // first cell of the block
  int size[3];  // cells of the block per axis (fewer at the grid's upper end)
  float values[kBlockPoints];
  uint8_t known[kBlockPoints] = {};
  uint8_t visited[kBlockCellCount] = {};
  uint8_t crossed[kBlockCellCount] = {};
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

inline int localCell(int ci, int cj, int ck) { return (ck * kBlockCells + cj) * kBlockCells + ci; }

// A surface vertex and its outward unit normal.
struct PlacedVertex {
  float position[3];
  float normal[3];
};

// The triangles of one block, with vertices named by their grid edge.
struct BlockMesh {
  std::vector<uint64_t> triangleKeys;  // 3 per triangle
  std::unordered_map<uint64_t, int> localIndex;
  std::vector<PlacedVertex> vertices;
  long evaluations = 0;
};

// Polygonizes the block's surface cells (block.crossing, sorted here) into
// `out`: marching cubes assembled from face segments, with the vertices
// placed on the surface. Evaluates the function where the block lacks values
// and counts every evaluation in out.evaluations.
void polygonizeBlock(const Context& ctx, BlockCache& block, BlockMesh& out);

}  // namespace wendfit::mesh_detail

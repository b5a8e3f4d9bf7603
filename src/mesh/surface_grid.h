#pragma once
// The sampling grid of the surface extraction and the records from whose
// centres the surface is traced.
//
// The grid spans the function's box exactly: n[a] cells along axis a, with
// spacing[a] = extent[a] / n[a], so the last grid point of every axis is the
// box's upper corner and no grid point lies outside the box (where the value
// jumps to `offset`).
//
// The closing layer: one layer of virtual grid points surrounds the grid
// (indices -1 and n[a] + 1). They are never evaluated; they take the sign
// class of the outside, so every sheet that reaches the box is closed by the
// box's faces. With them the lattice has n[a] + 3 points and n[a] + 2 cells
// (-1 ... n[a]) per axis. These extended cells are grouped into blocks of
// kBlockCells^3 cells, the unit of caching and of parallel work: block b
// holds the cells b * kBlockCells - 1 ... b * kBlockCells + kBlockCells - 2.
//
// The seed records: the fitted function only follows the data near the
// centres of its finest basis functions. A record is a seed (band) record
// when no record of the next finer level lies within its support radius;
// without an error threshold these are exactly the finest level's records.

#include <cstdint>
#include <vector>

#include "function/implicit_function.h"

namespace wendfit {

inline constexpr int kBlockCells = 16;
// Upper bound for the resolution, so that grid point and edge keys fit in 64
// bits with room to spare. The traced extraction keeps only the blocks the
// surface crosses, so a fine grid over a large box costs what its surface
// costs: two objects far apart (a scan and a stray part of it) need many
// cells along the box for cells as small as their detail.
inline constexpr int kMaxResolution = 65536;
// The whole-box extraction visits every block of the grid: above this it
// would list more blocks than memory holds.
inline constexpr int kMaxFullBoxResolution = 8192;
// Default grid spacing: the finest support radius divided by this. Chosen by
// the ground-truth benchmark (bench/mesh_ground_truth.sh): at this spacing
// the mesh lies within a few millionths of the box diagonal of the true
// surface, and extraction costs less than the fit.
inline constexpr int kDefaultCellsPerRadius = 2;

struct SurfaceGrid {
  float origin[3] = {0, 0, 0};  // the box's lower corner
  float upper[3] = {0, 0, 0};   // the box's upper corner
  int n[3] = {1, 1, 1};         // cells per axis
  double spacing[3] = {1, 1, 1};
  int blocks[3] = {1, 1, 1};    // blocks per axis over the extended cells

  // Grid over the function's box with `resolution` cells along its longest
  // side (the other axes get the nearest whole number, at least one).
  // Throws Error for a resolution outside 1 ... kMaxResolution.
  static SurfaceGrid overBox(const float boxMin[3], const float boxMax[3], int resolution);

  // World position of grid point (i, j, k), 0 <= i <= n[0] and so on.
  // Deterministic: the same point always yields the same floats.
  void point(int i, int j, int k, float out[3]) const;
  // Index of a lattice point, -1 <= i <= n[0] + 1 and so on; unique over
  // the extended lattice.
  uint64_t pointKey(int i, int j, int k) const {
    return (static_cast<uint64_t>(k + 1) * static_cast<uint64_t>(n[1] + 3) + static_cast<uint64_t>(j + 1)) *
               static_cast<uint64_t>(n[0] + 3) +
           static_cast<uint64_t>(i + 1);
  }
  // Index of a block, unique over the grid; blocks are ordered z, y, x.
  uint64_t blockKey(int bi, int bj, int bk) const {
    return (static_cast<uint64_t>(bk) * static_cast<uint64_t>(blocks[1]) + static_cast<uint64_t>(bj)) *
               static_cast<uint64_t>(blocks[0]) +
           static_cast<uint64_t>(bi);
  }
  uint64_t blockCount() const {
    return static_cast<uint64_t>(blocks[0]) * static_cast<uint64_t>(blocks[1]) *
           static_cast<uint64_t>(blocks[2]);
  }
  // Block and cell index within it of grid cell c (-1 <= c <= n[a]).
  static int blockOfCell(int c) { return (c + 1) / kBlockCells; }
  static int localOfCell(int c) { return (c + 1) % kBlockCells; }
  // The cell that holds world position p, clamped to the grid.
  void cellOf(const float p[3], int cell[3]) const;
  // The cell index along one axis for a coordinate, clamped to the grid.
  int cellAlong(int axis, double coordinate) const;
};

// One record that defines the band: its centre and support radius.
struct BandRecord {
  float centre[3];
  float radius;
};

struct BandSource {
  std::vector<BandRecord> records;  // in the function's cell-tree order
  int finestLevel = 0;              // 0 when the function has no records
  float finestRadius = 0.0f;        // smallest radius of the finest level
  long largestLevel = 0;            // records of the level that has the most
};

// Collects the band records of a function (see the header comment). Read
// only; an empty function gives an empty source.
BandSource collectBandRecords(const ImplicitFunction& function);

// Default resolution: the box's longest side divided by the largest of
// finestRadius / cellsPerRadius, `leastCell` and (with `fromCentres`) about
// one sample spacing of the finest centres (twice their median
// nearest-neighbour distance), rounded up. 1 for a function without
// records. A caller that knows the data's spacing passes a least cell from
// it, and no `fromCentres` where the fit's centres are sparser than the data.
// Throws Error when that exceeds kMaxResolution.
int defaultResolution(const ImplicitFunction& function, const BandSource& source,
                      int cellsPerRadius = kDefaultCellsPerRadius, double leastCell = 0.0,
                      bool fromCentres = true);

}  // namespace wendfit

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

#include "mesh/surface_grid.h"

namespace wendfit {

namespace {

constexpr int kSide = kBlockCells + 1;  // grid points along a block side
constexpr int kBlockPoints = kSide * kSide * kSide;
constexpr int kBlockCellCount = kBlockCells * kBlockCells * kBlockCells;

// A vertex costs two or three evaluations (hundreds of basis functions reach
// each point): up to kEdgeSteps false-position steps along its edge; a root
// still off by more than kRootTolerance of the edge's value change is then
// refined across the surface by a gradient step of at most kPolishStepLimit
// grid spacings and the secant along it (extrapolating at most kMaxSecant
// times the step).
constexpr int kEdgeSteps = 2;
constexpr double kRootTolerance = 1e-4;
constexpr double kPolishStepLimit = 0.05;
constexpr double kMaxSecant = 4.0;
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
  // Side the triangles face and the normals point to.
  bool outsideNegative;
  double polishStep;
  bool normals;
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

void unitOrZero(double v[3]) {
  double length = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
  for (int k = 0; k < 3; ++k) v[k] = length > 0.0 && std::isfinite(length) ? v[k] / length : 0.0;
}

// Moves p onto the surface across it: a step along the gradient, then the
// secant between both ends of that step. The secant matters: the gradient
// belongs to a different radial function than the value, so its length is
// not the slope of the value, but its direction is close to the surface
// normal. Writes the outward unit normal from the gradient (zero when the
// gradient vanishes). Two evaluations.
void polishAlongGradient(const Context& ctx, float p[3], double normal[3], long* evaluations) {
  const ImplicitFunction& function = ctx.function;
  float gradient[3];
  float f0 = function.valueAndGradient(gradient, p[0], p[1], p[2]);
  ++*evaluations;
  double gradSq = 0.0;
  for (double g : gradient) gradSq += g * g;
  // Normals point to the outside class: along the gradient when outside is
  // non-negative.
  for (int k = 0; k < 3; ++k) normal[k] = gradient[k] * (ctx.outsideNegative ? -1.0 : 1.0);
  unitOrZero(normal);
  if (f0 == 0.0f || !(gradSq > 0.0) || !std::isfinite(gradSq)) return;
  double scale = -static_cast<double>(f0) / gradSq;
  double length = std::fabs(scale) * std::sqrt(gradSq);
  if (length > ctx.polishStep) scale *= ctx.polishStep / length;
  float q[3];
  for (int k = 0; k < 3; ++k) q[k] = static_cast<float>(p[k] + scale * gradient[k]);
  float fq = function.value(q[0], q[1], q[2]);
  ++*evaluations;
  double secant = static_cast<double>(f0) / (static_cast<double>(f0) - fq);
  if (secant >= 0.0 && secant <= kMaxSecant) {
    for (int k = 0; k < 3; ++k) p[k] = static_cast<float>(p[k] + secant * (static_cast<double>(q[k]) - p[k]));
  } else if (std::fabs(fq) < std::fabs(f0)) {
    std::copy(q, q + 3, p);
  }
}

// The surface vertex on the grid edge from a (value fa) to b (value fb),
// whose sign classes differ. Depends only on its arguments, so every block
// that meets the edge computes the identical vertex.
PlacedVertex placeVertex(const Context& ctx, const float a[3], float fa, const float b[3], float fb,
                         long* evaluations) {
  // Along the edge: false position from the end values, then once more
  // inside the narrowed bracket. A root whose value is within kRootTolerance
  // of the edge's value change is on the surface to about that fraction of
  // the edge.
  const double slope = std::fabs(static_cast<double>(fb) - static_cast<double>(fa));
  double t = static_cast<double>(fa) / (static_cast<double>(fa) - fb);
  if (!(t > 0.0 && t < 1.0)) t = 0.5;
  float p[3];
  bool onSurface = false;
  for (int step = 0; step < kEdgeSteps && !onSurface; ++step) {
    float ft = evaluateAt(ctx.function, a, b, t, p);
    ++*evaluations;
    onSurface = !(std::fabs(ft) > kRootTolerance * slope);
    double next = negative(ft) == negative(fa) ? t + (1.0 - t) * ft / (static_cast<double>(ft) - fb)
                                               : t * fa / (static_cast<double>(fa) - ft);
    if (!(next > 0.0 && next < 1.0)) break;
    t = next;
  }
  PlacedVertex vertex;
  double normal[3] = {0.0, 0.0, 0.0};
  if (!onSurface) {
    polishAlongGradient(ctx, p, normal, evaluations);
  } else if (ctx.normals) {
    float gradient[3];
    ctx.function.gradient(gradient, p[0], p[1], p[2]);
    ++*evaluations;
    for (int k = 0; k < 3; ++k) normal[k] = gradient[k] * (ctx.outsideNegative ? -1.0 : 1.0);
    unitOrZero(normal);
  }
  std::copy(p, p + 3, vertex.position);
  if (normal[0] == 0.0 && normal[1] == 0.0 && normal[2] == 0.0) {
    // No usable gradient: along the edge, towards the end that lies outside.
    double towardsB = (negative(fb) == ctx.outsideNegative) ? 1.0 : -1.0;
    for (int k = 0; k < 3; ++k) normal[k] = (static_cast<double>(b[k]) - a[k]) * towardsB;
    unitOrZero(normal);
  }
  for (int k = 0; k < 3; ++k) vertex.normal[k] = static_cast<float>(normal[k]);
  return vertex;
}

// The triangles of one block, with vertices named by their grid edge.
struct BlockMesh {
  std::vector<uint64_t> triangleKeys;  // 3 per triangle
  std::unordered_map<uint64_t, int> localIndex;
  std::vector<PlacedVertex> vertices;
  long evaluations = 0;
};

// Polygonizes the block's surface cells in cell order (marching cubes,
// assembled from face segments).
//
// On every cube face whose corners change sign, the crossing edges are paired
// into segments that cut off the face's minority corners; a face with two
// diagonal pairs is resolved by the asymptotic decider on that face's four
// values. Both cubes that share a face see the same values and draw the same
// segments, in opposite directions, so the mesh is crack-free and
// consistently oriented. Inside a cube the segments close into cycles (every
// crossing edge lies on two faces, so on exactly two segments); each cycle
// becomes one polygon. Around a grid edge the four cubes' polygons close
// into one fan, so every vertex is manifold.
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
      for (int c = 0; c < 8; ++c) {
        corner_[c] = block_.value(ctx_, local_[0] + bitOf(c, 0), local_[1] + bitOf(c, 1), local_[2] + bitOf(c, 2));
      }
      polygonizeCell();
    }
    out_.evaluations += block_.evaluations;
  }

 private:
  // Cube edge e = 4 * axis + k runs from corner low(e) to low(e) | (1 << axis),
  // where k numbers the two other axes' bits, the lower axis first.
  static int edgeLow(int e) {
    int axis = e / 4, k = e % 4;
    int b = axis == 0 ? 1 : 0, c = axis == 2 ? 1 : 2;
    return (k & 1) << b | ((k >> 1) & 1) << c;
  }
  static int edgeOf(int low, int high) {
    int axis = (low ^ high) == 1 ? 0 : ((low ^ high) == 2 ? 1 : 2);
    int b = axis == 0 ? 1 : 0, c = axis == 2 ? 1 : 2;
    return 4 * axis + (bitOf(low, b) | bitOf(low, c) << 1);
  }
  static int edgeBetween(int c0, int c1) { return c0 < c1 ? edgeOf(c0, c1) : edgeOf(c1, c0); }

  bool isNegative(int corner) const { return negative(corner_[corner]); }

  void polygonizeCell() {
    int next[12];
    std::fill(next, next + 12, -1);
    for (int axis = 0; axis < 3; ++axis) {
      for (int side = 0; side < 2; ++side) addFaceSegments(axis, side, next);
    }
    bool used[12] = {};
    int polygon = 0;
    for (int start = 0; start < 12; ++start) {
      if (next[start] < 0 || used[start]) continue;
      int edges[12];
      int ids[12];
      int count = 0;
      for (int e = start; !used[e]; e = next[e]) {
        used[e] = true;
        edges[count] = e;
        ids[count++] = vertexOn(e);
      }
      emitPolygon(edges, ids, count, polygon++);
    }
  }

  // Whether cube edges e0 and e1 lie on a common cube face.
  static bool shareFace(int e0, int e1) {
    int faces[2][2];
    for (int k = 0; k < 2; ++k) {
      int e = k == 0 ? e0 : e1;
      int axis = e / 4, low = edgeLow(e);
      int b = axis == 0 ? 1 : 0, c = axis == 2 ? 1 : 2;
      faces[k][0] = 2 * b + bitOf(low, b);
      faces[k][1] = 2 * c + bitOf(low, c);
    }
    return faces[0][0] == faces[1][0] || faces[0][0] == faces[1][1] || faces[0][1] == faces[1][0] ||
           faces[0][1] == faces[1][1];
  }

  // A diagonal between vertices on a common face could be drawn by the
  // neighbouring cube too, and an edge in four triangles is not manifold;
  // a diagonal between vertices on no common face belongs to this cube alone.
  bool apexIsPrivate(const int* edges, int count, int apex) const {
    for (int i = 0; i < count; ++i) {
      int gap = (i - apex + count) % count;
      if (gap > 1 && gap < count - 1 && shareFace(edges[apex], edges[i])) return false;
    }
    return true;
  }

  // Triangulates one cycle: a fan from the first apex whose diagonals are
  // private to the cube (for a quad, the shorter private diagonal); without
  // one, a fan around a new vertex inside the cube, put onto the surface.
  void emitPolygon(const int* edges, const int* ids, int count, int polygon) {
    if (count == 3) {
      emitTriangle(ids[0], ids[1], ids[2]);
      return;
    }
    int apex = -1;
    if (count == 4) {
      bool first = apexIsPrivate(edges, 4, 0), second = apexIsPrivate(edges, 4, 1);
      if (first && second) apex = distanceSq(ids[1], ids[3]) < distanceSq(ids[0], ids[2]) ? 1 : 0;
      else if (first || second) apex = first ? 0 : 1;
    } else {
      for (int k = 0; k < count && apex < 0; ++k) {
        if (apexIsPrivate(edges, count, k)) apex = k;
      }
    }
    if (apex >= 0) {
      for (int k = 1; k + 1 < count; ++k) {
        emitTriangle(ids[apex], ids[(apex + k) % count], ids[(apex + k + 1) % count]);
      }
      return;
    }
    int centre = interiorVertex(ids, count, polygon);
    for (int k = 0; k < count; ++k) emitTriangle(centre, ids[k], ids[(k + 1) % count]);
  }

  int interiorVertex(const int* ids, int count, int polygon) {
    const SurfaceGrid& grid = ctx_.grid;
    // Apart from every edge key: the top bit, the cell and the polygon.
    uint64_t key = (uint64_t{1} << 63) |
                   (grid.pointKey(block_.base[0] + local_[0], block_.base[1] + local_[1], block_.base[2] + local_[2]) *
                        4u +
                    static_cast<uint64_t>(polygon));
    PlacedVertex vertex;
    double position[3] = {0, 0, 0}, fallback[3] = {0, 0, 0};
    for (int k = 0; k < count; ++k) {
      for (int a = 0; a < 3; ++a) {
        position[a] += out_.vertices[ids[k]].position[a] / static_cast<double>(count);
        fallback[a] += out_.vertices[ids[k]].normal[a];
      }
    }
    for (int a = 0; a < 3; ++a) vertex.position[a] = static_cast<float>(position[a]);
    double normal[3];
    polishAlongGradient(ctx_, vertex.position, normal, &out_.evaluations);
    if (normal[0] == 0.0 && normal[1] == 0.0 && normal[2] == 0.0) {
      std::copy(fallback, fallback + 3, normal);
      unitOrZero(normal);
    }
    for (int a = 0; a < 3; ++a) vertex.normal[a] = static_cast<float>(normal[a]);
    int id = static_cast<int>(out_.vertices.size());
    out_.localIndex.emplace(key, id);
    out_.vertices.push_back(vertex);
    keys_.push_back(key);
    return id;
  }

  // The segments of face (axis, side), oriented (next[from] = to) so that
  // the polygons they bound face the outside class.
  void addFaceSegments(int axis, int side, int next[12]) {
    int b = axis == 0 ? 1 : 0, c = axis == 2 ? 1 : 2;
    // q[i][j]: i along axis b, j along axis c; the same order in both cubes
    // that share the face.
    int q[2][2];
    for (int i = 0; i < 2; ++i) {
      for (int j = 0; j < 2; ++j) q[i][j] = side << axis | i << b | j << c;
    }
    int negatives = 0;
    for (int corner : {q[0][0], q[1][0], q[0][1], q[1][1]}) negatives += isNegative(corner) ? 1 : 0;
    if (negatives == 0 || negatives == 4) return;
    // Corners to cut off, each with its two face edges.
    int cut[2];
    int cuts = 0;
    if (negatives == 2) {
      bool diagonal = isNegative(q[0][0]) == isNegative(q[1][1]);
      if (!diagonal) {
        // Two adjacent corners of each class: one segment across the face.
        int first = -1, second = -1;
        for (auto [u, v] : {std::pair{q[0][0], q[1][0]}, std::pair{q[0][1], q[1][1]},
                            std::pair{q[0][0], q[0][1]}, std::pair{q[1][0], q[1][1]}}) {
          if (isNegative(u) == isNegative(v)) continue;
          (first < 0 ? first : second) = edgeBetween(u, v);
        }
        addSegment(first, second, q[0][0], axis, side, next);
        return;
      }
      // Asymptotic decider: the sign of the bilinear saddle says whether
      // q00 and q11 are joined across the face.
      double f00 = corner_[q[0][0]], f10 = corner_[q[1][0]], f01 = corner_[q[0][1]], f11 = corner_[q[1][1]];
      double saddle = (f00 * f11 - f10 * f01) / (f00 + f11 - f10 - f01);
      bool joined = negative(static_cast<float>(saddle)) == isNegative(q[0][0]);
      if (joined) {
        cut[0] = q[1][0];
        cut[1] = q[0][1];
      } else {
        cut[0] = q[0][0];
        cut[1] = q[1][1];
      }
      cuts = 2;
    } else {
      bool minorityNegative = negatives == 1;
      for (int corner : {q[0][0], q[1][0], q[0][1], q[1][1]}) {
        if (isNegative(corner) == minorityNegative) cut[cuts++] = corner;
      }
    }
    for (int k = 0; k < cuts; ++k) {
      int corner = cut[k];
      int alongB = corner ^ (1 << b), alongC = corner ^ (1 << c);
      addSegment(edgeBetween(corner, alongB), edgeBetween(corner, alongC), corner, axis, side, next);
    }
  }

  // Orients segment (e0, e1) of face (axis, side) using `witness`, a face
  // corner off the segment, and records it. In doubled lattice units the
  // test is exact: seen from outside the cube, the outside class must lie to
  // the left of the segment.
  void addSegment(int e0, int e1, int witness, int axis, int side, int next[12]) {
    int m0[3], m1[3];
    for (int a = 0; a < 3; ++a) {
      int low0 = edgeLow(e0), low1 = edgeLow(e1);
      m0[a] = 2 * bitOf(low0, a) + (e0 / 4 == a ? 1 : 0);
      m1[a] = 2 * bitOf(low1, a) + (e1 / 4 == a ? 1 : 0);
    }
    long d[3], x[3];
    for (int a = 0; a < 3; ++a) {
      d[a] = m1[a] - m0[a];
      x[a] = 2 * bitOf(witness, a) - m0[a];
    }
    long cross[3] = {d[1] * x[2] - d[2] * x[1], d[2] * x[0] - d[0] * x[2], d[0] * x[1] - d[1] * x[0]};
    long sigma = cross[axis] * (side ? 1 : -1);
    bool witnessOutside = isNegative(witness) == ctx_.outsideNegative;
    if ((sigma > 0) == witnessOutside) {
      next[e0] = e1;
    } else {
      next[e1] = e0;
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

  // Local index of the vertex on cube edge e of the current cell; computed
  // once per block.
  int vertexOn(int e) {
    int low = edgeLow(e);
    int axis = e / 4;
    int p[3], q[3];
    for (int a = 0; a < 3; ++a) {
      p[a] = local_[a] + bitOf(low, a);
      q[a] = p[a] + (a == axis ? 1 : 0);
    }
    const SurfaceGrid& grid = ctx_.grid;
    uint64_t key = grid.pointKey(block_.base[0] + p[0], block_.base[1] + p[1], block_.base[2] + p[2]) * 4u +
                   static_cast<uint64_t>(axis);
    auto [slot, added] = out_.localIndex.try_emplace(key, static_cast<int>(out_.vertices.size()));
    if (added) {
      float a[3], b[3];
      grid.point(block_.base[0] + p[0], block_.base[1] + p[1], block_.base[2] + p[2], a);
      grid.point(block_.base[0] + q[0], block_.base[1] + q[1], block_.base[2] + q[2], b);
      out_.vertices.push_back(placeVertex(ctx_, a, corner_[low], b, corner_[low | 1 << axis], &out_.evaluations));
      keys_.push_back(key);
    }
    return slot->second;
  }

  const Context& ctx_;
  BlockCache& block_;
  BlockMesh& out_;
  std::vector<uint64_t> keys_;  // edge key of every local vertex
  int local_[3] = {0, 0, 0};
  float corner_[8] = {};
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

// Follows the surface through the band from seed cells, round by round: each
// round processes the blocks with pending seeds in parallel and collects the
// cells where the surface leaves them. The set of surface cells reached does
// not depend on the order, so neither does the result on the threads.
class SurfaceTracer {
 public:
  SurfaceTracer(const Context& ctx, const std::vector<bool>& band, std::FILE* progressOut, long bandBlocks)
      : ctx_(ctx), band_(band), progress_(progressOut, "tracing", bandBlocks) {}

  // Adds the cell that holds p to the seeds of the next trace(), when it is
  // in the band.
  void seedAt(const float p[3]) {
    int cell[3];
    ctx_.grid.cellOf(p, cell);
    Seed seed = seedOf(cell);
    if (seed.block != UINT64_MAX) pending_.push_back(seed);
  }

  // Adds the in-band cells around p to the seeds of the next trace().
  void seedAround(const float p[3]) {
    for (const Seed& seed : seedsAround(p)) {
      if (seed.block != UINT64_MAX) pending_.push_back(seed);
    }
  }

  // Whether any cell around p is known to be crossed by the surface.
  bool crossedAround(const float p[3]) const {
    for (const Seed& seed : seedsAround(p)) {
      if (seed.block == UINT64_MAX) continue;
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
        auto& cache = caches_[seeds[begin].block];
        if (!cache) cache = std::make_unique<BlockCache>(ctx_.grid, seeds[begin].block);
        groups.emplace_back(begin, end);
        blocks.push_back(cache.get());
        begin = end;
      }
      std::vector<std::vector<Seed>> outgoing(groups.size());
#pragma omp parallel for schedule(dynamic, 1)
      for (long g = 0; g < static_cast<long>(groups.size()); ++g) {
        std::vector<int> stack;
        for (size_t k = groups[g].first; k < groups[g].second; ++k) stack.push_back(seeds[k].cell);
        traceBlock(ctx_, band_, *blocks[g], std::move(stack), outgoing[g]);
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
  std::array<Seed, 8> seedsAround(const float p[3]) const {
    const SurfaceGrid& grid = ctx_.grid;
    int cells[8][3];
    cellsAround(grid, p, cells);
    std::array<Seed, 8> seeds;
    for (int k = 0; k < 8; ++k) seeds[k] = seedOf(cells[k]);
    return seeds;
  }

  Seed seedOf(const int cell[3]) const {
    uint64_t key = ctx_.grid.blockKey(cell[0] / kBlockCells, cell[1] / kBlockCells, cell[2] / kBlockCells);
    if (!band_[key]) return Seed{UINT64_MAX, 0};
    return Seed{key, localCell(cell[0] % kBlockCells, cell[1] % kBlockCells, cell[2] % kBlockCells)};
  }

  const Context& ctx_;
  const std::vector<bool>& band_;
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

// Traces the surface from the band records' centres. The finest level's
// centres lie on the surface (the fit makes the function vanish there), so
// the cells that hold them are tried first, at no cost beyond their corners;
// only records near which no surface was found are then carried onto the
// surface along the gradient (centres of coarse band records, and every
// centre under regularization), and tried with the cells around them.
std::vector<std::unique_ptr<BlockCache>> traceFromRecords(const Context& ctx, const BandSource& source,
                                                          const std::vector<bool>& band, std::FILE* progressOut,
                                                          ExtractionStats& stats) {
  const std::vector<BandRecord>& records = source.records;
  SurfaceTracer tracer(ctx, band, progressOut, stats.bandBlocks);
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
  Context ctx{function, grid, s.outsideNegative, kPolishStepLimit * smallestSpacing, options.normals};

  std::vector<std::unique_ptr<BlockCache>> blocks;
  std::vector<bool> band;
  if (options.fullBox) {
    band.assign(grid.blockCount(), true);
    s.bandBlocks = static_cast<long>(grid.blockCount());
  } else {
    band = bandBlocks(grid, source);
    s.bandBlocks = std::count(band.begin(), band.end(), true);
    blocks = traceFromRecords(ctx, source, band, options.progress, s);
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
  TriangleMesh mesh = mergeBlocks(meshes, options.normals);
  if (options.flip) {
    for (size_t t = 0; t < mesh.triangles.size(); t += 3) std::swap(mesh.triangles[t + 1], mesh.triangles[t + 2]);
    for (float& n : mesh.normals) n = -n;
  }
  return mesh;
}

}  // namespace wendfit

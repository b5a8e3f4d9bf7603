#include <algorithm>
#include <cmath>

#include "mesh/surface_blocks.h"

namespace wendfit::mesh_detail {

namespace {

// A vertex usually costs one evaluation (hundreds of basis functions reach
// each point): the value and its exact gradient at the false-position point
// of its edge, and a Newton step along the edge from there (the vertex stays
// on its edge, where the triangles fit the surface best). Where the edge
// meets the surface at a grazing angle or the step leaves the bracket, the
// root is narrowed along the edge by up to
// kEdgeSteps more false-position steps, until it is off by at most
// kRootTolerance of the edge's value change, and otherwise polished by one
// Newton step across the surface (see polishAlongGradient).
constexpr int kEdgeSteps = 2;
constexpr double kRootTolerance = 1e-4;
// Steps of the bracketed search that keeps a vertex on its edge
// (placeOnEdge); each at least halves the bracket within two.
constexpr int kMostEdgeRootSteps = 40;
// An edge is steep enough for a Newton step along it when the cosine of its
// angle to the gradient is at least this.
constexpr double kSteepEdge = 0.5;
// A polishing Newton step moves at most this many times
// Context::polishStep (polygon centres may start that far off the surface).
constexpr double kMaxPolish = 4.0;

void unitOrZero(double v[3]) {
  double length = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
  for (int k = 0; k < 3; ++k) v[k] = length > 0.0 && std::isfinite(length) ? v[k] / length : 0.0;
}

// The outward unit normal from gradient g (zero when g vanishes): along the
// gradient when outside is non-negative.
void normalFrom(const Context& ctx, const float g[3], double normal[3]) {
  for (int k = 0; k < 3; ++k) normal[k] = g[k] * (ctx.outsideNegative ? -1.0 : 1.0);
  unitOrZero(normal);
}

// The Newton step -f g / |g|^2 from a point with value f and exact gradient
// g into step; false when there is none (f = 0 or no usable gradient).
bool newtonStep(float f, const float g[3], double step[3]) {
  double gradSq = 0.0;
  for (int k = 0; k < 3; ++k) gradSq += static_cast<double>(g[k]) * g[k];
  if (f == 0.0f || !(gradSq > 0.0) || !std::isfinite(gradSq)) return false;
  const double scale = -static_cast<double>(f) / gradSq;
  for (int k = 0; k < 3; ++k) step[k] = scale * g[k];
  return true;
}

double lengthOf(const double v[3]) { return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]); }

void moveBy(float p[3], const double step[3]) {
  for (int k = 0; k < 3; ++k) p[k] = static_cast<float>(p[k] + step[k]);
}

// Moves p onto the surface by one Newton step along the exact gradient, at
// most kMaxPolish times Context::polishStep long, and writes the outward unit normal there
// (zero when the gradient vanishes), given the value f and exact gradient at p.
void polishAlongGradient(const Context& ctx, float p[3], double normal[3], float f,
                         const float gradient[3]) {
  normalFrom(ctx, gradient, normal);
  double step[3];
  if (!newtonStep(f, gradient, step)) return;
  const double length = lengthOf(step);
  const double limit = kMaxPolish * ctx.polishStep;
  if (length > limit) {
    for (double& s : step) s *= limit / length;
  }
  moveBy(p, step);
}

// The false-position point of the edge from a (value fa) to b (value fb):
// its parameter (returned) and position p, where placeVertex evaluates first.
double falsePosition(const float a[3], float fa, const float b[3], float fb, float p[3]) {
  double t = static_cast<double>(fa) / (static_cast<double>(fa) - fb);
  if (!(t > 0.0 && t < 1.0)) t = 0.5;
  for (int k = 0; k < 3; ++k) {
    p[k] = static_cast<float>(static_cast<double>(a[k]) +
                              t * (static_cast<double>(b[k]) - static_cast<double>(a[k])));
  }
  return t;
}

// A surface vertex being placed on the grid edge from a (value fa) to b
// (value fb), whose sign classes differ: its state between evaluations, so
// that the false-position steps of many edges can be evaluated together.
struct VertexSearch {
  float a[3] = {0, 0, 0};
  float b[3] = {0, 0, 0};
  float fa = 0.0f;
  float fb = 0.0f;
  double slope = 0.0;
  float p[3] = {0, 0, 0};
  double normal[3] = {0.0, 0.0, 0.0};
  double t = 0.0;
  float ft = 0.0f;
  // In the false-position loop, which has taken `steps` steps.
  bool searching = false;
  int steps = 0;
  // The loop ended off the surface: a Newton step along the gradient polishes.
  bool polish = false;
};

// Starts the vertex search; see placeVertex. Leaves `searching` set where
// the false-position loop follows.
void beginVertex(const Context& ctx, VertexSearch& s, long* evaluations, const float* first) {
  s.slope = std::fabs(static_cast<double>(s.fb) - static_cast<double>(s.fa));
  const float* a = s.a;
  const float* b = s.b;
  // An end where the value is exactly 0 is the root.
  const bool atEnd = s.fa == 0.0f || s.fb == 0.0f;
  if (atEnd) {
    std::copy(s.fa == 0.0f ? a : b, (s.fa == 0.0f ? a : b) + 3, s.p);
    if (ctx.normals) {
      float gradient[3];
      ctx.valueAndGradient(gradient, s.p[0], s.p[1], s.p[2]);
      ++*evaluations;
      normalFrom(ctx, gradient, s.normal);
    }
    return;
  }
  double t = falsePosition(a, s.fa, b, s.fb, s.p);
  float gradient[3];
  float ft;
  if (first) {
    ft = first[0];
    std::copy(first + 1, first + 4, gradient);
  } else {
    ft = ctx.valueAndGradient(gradient, s.p[0], s.p[1], s.p[2]);
    ++*evaluations;
  }
  normalFrom(ctx, gradient, s.normal);
  // Newton along the edge, with the exact gradient's component along it;
  // taken when it stays inside the narrowed bracket.
  double alongEdge = 0.0;
  for (int k = 0; k < 3; ++k) {
    alongEdge += static_cast<double>(gradient[k]) * (static_cast<double>(b[k]) - a[k]);
  }
  const double newton = t - static_cast<double>(ft) / alongEdge;
  const bool beyond = negative(ft) == negative(s.fa);  // the root lies in (t, 1)
  // Along an edge that meets the surface at a grazing angle the value is
  // far from linear and one Newton step along it falls short; there the
  // root is narrowed by false position instead.
  double edge[3], gradientAsDouble[3];
  for (int k = 0; k < 3; ++k) {
    edge[k] = static_cast<double>(b[k]) - a[k];
    gradientAsDouble[k] = gradient[k];
  }
  const bool steep =
      std::fabs(alongEdge) >= kSteepEdge * lengthOf(edge) * lengthOf(gradientAsDouble);
  // Only a short step is trusted: its error shrinks with its square.
  const bool shortStep = std::fabs(newton - t) * lengthOf(edge) <= ctx.polishStep;
  if (ft != 0.0f && steep && shortStep && std::isfinite(newton) &&
      (beyond ? newton > t && newton < 1.0 : newton > 0.0 && newton < t)) {
    for (int k = 0; k < 3; ++k) {
      s.p[k] = static_cast<float>(static_cast<double>(a[k]) + newton * edge[k]);
    }
  } else if (ft != 0.0f) {
    // A grazing edge, a step out of the bracket or no usable gradient.
    s.t = t;
    s.ft = ft;
    s.searching = true;
    s.polish = true;
  }
}

// The next false-position step of a searching vertex: moves s.p there and
// returns true, or ends the loop (false) where the step leaves the edge.
bool nextStep(VertexSearch& s) {
  const double t = s.t;
  const double ft = s.ft;
  double next = negative(s.ft) == negative(s.fa) ? t + (1.0 - t) * ft / (ft - s.fb)
                                                 : t * s.fa / (static_cast<double>(s.fa) - ft);
  if (!(next > 0.0 && next < 1.0)) {
    s.searching = false;
    return false;
  }
  s.t = next;
  for (int k = 0; k < 3; ++k) {
    s.p[k] = static_cast<float>(static_cast<double>(s.a[k]) +
                                next * (static_cast<double>(s.b[k]) - static_cast<double>(s.a[k])));
  }
  return true;
}

// Takes the value at the step's point; the loop ends on the surface or
// after kEdgeSteps steps.
void stepTaken(VertexSearch& s, float value) {
  s.ft = value;
  ++s.steps;
  if (!(std::fabs(s.ft) > kRootTolerance * s.slope)) {
    s.polish = false;
    s.searching = false;
  } else if (s.steps == kEdgeSteps) {
    s.searching = false;
  }
}

// The vertex where the search ended: polished where the false-position
// loop stopped off the surface, kept inside the box, with its normal.
// `polish` holds the value and exact gradient at s.p where the search was
// evaluated there already, together with other searches' points.
PlacedVertex finishVertex(const Context& ctx, VertexSearch& s, long* evaluations,
                          const float* polish = nullptr) {
  float* p = s.p;
  double* normal = s.normal;
  if (s.polish) {
    float evaluated[4];
    if (!polish) {
      evaluated[0] = ctx.valueAndGradient(evaluated + 1, p[0], p[1], p[2]);
      ++*evaluations;
      polish = evaluated;
    }
    polishAlongGradient(ctx, p, normal, polish[0], polish + 1);
  }
  // The polish may step off a box face; the box ends the surface there.
  for (int k = 0; k < 3; ++k) p[k] = std::clamp(p[k], ctx.grid.origin[k], ctx.grid.upper[k]);
  PlacedVertex vertex;
  std::copy(p, p + 3, vertex.position);
  if (normal[0] == 0.0 && normal[1] == 0.0 && normal[2] == 0.0) {
    // No usable gradient: along the edge, towards the end that lies outside.
    double towardsB = (negative(s.fb) == ctx.outsideNegative) ? 1.0 : -1.0;
    for (int k = 0; k < 3; ++k) normal[k] = (static_cast<double>(s.b[k]) - s.a[k]) * towardsB;
    unitOrZero(normal);
  }
  for (int k = 0; k < 3; ++k) vertex.normal[k] = static_cast<float>(normal[k]);
  return vertex;
}

// The surface vertex on the grid edge from a (value fa) to b (value fb),
// whose sign classes differ. Depends only on its arguments, so every block
// that meets the edge computes the identical vertex. `first`, when given,
// holds the value and exact gradient at the false-position point (as
// valueAndExactGradient gives them, bit for bit), evaluated by the caller
// together with other edges' (counted there); ignored where an end's value
// is 0.
PlacedVertex placeVertex(const Context& ctx, const float a[3], float fa, const float b[3], float fb,
                         long* evaluations, const float* first = nullptr) {
  VertexSearch s;
  std::copy(a, a + 3, s.a);
  std::copy(b, b + 3, s.b);
  s.fa = fa;
  s.fb = fb;
  beginVertex(ctx, s, evaluations, first);
  while (s.searching && nextStep(s)) {
    ++*evaluations;
    stepTaken(s, ctx.value(s.p[0], s.p[1], s.p[2]));
  }
  return finishVertex(ctx, s, evaluations);
}

// The vertex where the surface is closed by the box: at the grid point
// (grid indices) next to a virtual point, with the box's outward normal
// there (summed over the faces the point lies on).
PlacedVertex capVertex(const Context& ctx, const int point[3]) {
  PlacedVertex vertex;
  ctx.grid.point(point[0], point[1], point[2], vertex.position);
  double normal[3];
  for (int a = 0; a < 3; ++a) normal[a] = point[a] == 0 ? -1.0 : (point[a] == ctx.grid.n[a] ? 1.0 : 0.0);
  unitOrZero(normal);
  for (int a = 0; a < 3; ++a) vertex.normal[a] = static_cast<float>(normal[a]);
  return vertex;
}

// Edge key of the lattice edge from extended point `low` along `axis`.
// Edges between a virtual and a grid point share one key per grid point
// (axis slot 3): they all end at that point, so the caps of two box faces
// meet in one vertex and their polygons in the cells along the box's edges
// collapse.
uint64_t edgeKey(const Context& ctx, const int low[3], int axis, bool& cap, int real[3]) {
  int high[3] = {low[0], low[1], low[2]};
  ++high[axis];
  bool lowVirtual = ctx.isVirtual(low), highVirtual = ctx.isVirtual(high);
  cap = lowVirtual != highVirtual;
  const int* point = lowVirtual ? high : low;
  for (int a = 0; a < 3; ++a) real[a] = point[a] - 1;
  return ctx.grid.pointKey(real[0], real[1], real[2]) * 4u + static_cast<uint64_t>(cap ? 3 : axis);
}

// The ends of the grid edge from grid point `low` along `axis`.
void edgeEnds(const Context& ctx, const int low[3], int axis, float a[3], float b[3]) {
  ctx.grid.point(low[0], low[1], low[2], a);
  int high[3] = {low[0], low[1], low[2]};
  ++high[axis];
  ctx.grid.point(high[0], high[1], high[2], b);
}

// The vertex on the grid edge from grid point `low` along `axis`, whose end
// values fa and fb differ in sign class; `first` as for placeVertex.
PlacedVertex placeEdgeVertex(const Context& ctx, const int low[3], int axis, float fa, float fb,
                             long* evaluations, const float* first = nullptr) {
  float a[3], b[3];
  edgeEnds(ctx, low, axis, a, b);
  return placeVertex(ctx, a, fa, b, fb, evaluations, first);
}

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
        int id = vertexOn(e);
        // Cap vertices shared by two box faces repeat; a cycle that keeps
        // fewer than three vertices has collapsed onto the box's edge.
        if (count > 0 && ids[count - 1] == id) continue;
        edges[count] = e;
        ids[count++] = id;
      }
      while (count > 1 && ids[count - 1] == ids[0]) --count;
      if (count >= 3) emitPolygon(edges, ids, count, polygon);
      ++polygon;
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
    int cell[3];
    bool closingLayer = false;
    for (int a = 0; a < 3; ++a) {
      cell[a] = block_.base[a] + local_[a] - 1;
      closingLayer = closingLayer || cell[a] < 0 || cell[a] == grid.n[a];
    }
    uint64_t key = kCentreKeyBit | (grid.pointKey(cell[0], cell[1], cell[2]) * 4u + static_cast<uint64_t>(polygon));
    PlacedVertex vertex;
    double position[3] = {0, 0, 0}, fallback[3] = {0, 0, 0};
    for (int k = 0; k < count; ++k) {
      for (int a = 0; a < 3; ++a) {
        position[a] += out_.vertices[ids[k]].position[a] / static_cast<double>(count);
        fallback[a] += out_.vertices[ids[k]].normal[a];
      }
    }
    for (int a = 0; a < 3; ++a) vertex.position[a] = static_cast<float>(position[a]);
    // In the closing layer the polygon lies flat on a box face: its centre
    // is the vertex.
    double normal[3] = {0.0, 0.0, 0.0};
    if (!closingLayer) {
      float gradient[3];
      const float* p = vertex.position;
      const float f = ctx_.valueAndGradient(gradient, p[0], p[1], p[2]);
      ++out_.evaluations;
      polishAlongGradient(ctx_, vertex.position, normal, f, gradient);
    }
    if (normal[0] == 0.0 && normal[1] == 0.0 && normal[2] == 0.0) {
      std::copy(fallback, fallback + 3, normal);
      unitOrZero(normal);
    }
    for (int a = 0; a < 3; ++a) vertex.normal[a] = static_cast<float>(normal[a]);
    int id = static_cast<int>(out_.vertices.size());
    localIndex_.tryEmplace(key, id);
    out_.vertices.push_back(vertex);
    out_.vertexKeys.push_back(key);
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
    for (int id : {i, j, k}) out_.triangles.push_back(id);
  }

  // Local index of the vertex on cube edge e of the current cell: a cap
  // vertex, a vertex placed by the block that owns the edge, or placed here.
  int vertexOn(int e) {
    int low = edgeLow(e);
    int axis = e / 4;
    int p[3], ext[3];
    for (int a = 0; a < 3; ++a) {
      p[a] = local_[a] + bitOf(low, a);
      ext[a] = block_.base[a] + p[a];
    }
    bool cap = false;
    int real[3];
    uint64_t key = edgeKey(ctx_, ext, axis, cap, real);
    auto [slot, added] = localIndex_.tryEmplace(key, static_cast<int>(out_.vertices.size()));
    if (added) {
      PlacedVertex vertex;
      const BlockCache* home = block_.owners[(p[0] >> 4) | ((p[1] >> 4) << 1) | ((p[2] >> 4) << 2)];
      const PlacedVertex* found = home && !cap ? home->placed.find(key) : nullptr;
      if (cap) {
        vertex = capVertex(ctx_, real);
      } else if (found) {
        vertex = *found;
      } else {
        vertex = placeEdgeVertex(ctx_, real, axis, corner_[low], corner_[low | 1 << axis], &out_.evaluations);
      }
      out_.vertices.push_back(vertex);
      out_.vertexKeys.push_back(key);
    }
    return *slot;
  }

  const Context& ctx_;
  BlockCache& block_;
  BlockMesh& out_;
  // Local vertex index by key, while this block is triangulated.
  FlatKeyMap<int> localIndex_;
  int local_[3] = {0, 0, 0};
  float corner_[8] = {};
};

}  // namespace

bool placeOnEdge(const Context& ctx, uint64_t key, float position[3], long* evaluations) {
  int low[3];
  const int axis = edgeOfKey(ctx.grid, key, low);
  if (axis < 0) return false;
  float a[3], b[3];
  edgeEnds(ctx, low, axis, a, b);
  float fa = ctx.value(a[0], a[1], a[2]), fb = ctx.value(b[0], b[1], b[2]);
  *evaluations += 2;
  if (negative(fa) == negative(fb)) return false;
  // Illinois false position, bracketed: the root stays on the edge however
  // the surface grazes it.
  const double tolerance = kRootTolerance * std::fabs(static_cast<double>(fb) - fa);
  double lo = 0.0, hi = 1.0, flo = fa, fhi = fb, t = 0.5;
  int lastSide = 0;  // which end the last step replaced: -1 the low, 1 the high
  for (int step = 0; step < kMostEdgeRootSteps; ++step) {
    t = flo / (flo - fhi);
    if (!(t > lo && t < hi)) t = 0.5 * (lo + hi);
    for (int k = 0; k < 3; ++k) {
      position[k] = static_cast<float>(static_cast<double>(a[k]) + t * (static_cast<double>(b[k]) - a[k]));
    }
    const float ft = ctx.value(position[0], position[1], position[2]);
    ++*evaluations;
    if (!(std::fabs(static_cast<double>(ft)) > tolerance)) break;
    // An end kept twice in a row has its value halved, so that the steps
    // do not crawl towards the root from one side only.
    if (negative(ft) == negative(fa)) {
      lo = t;
      flo = ft;
      if (lastSide == -1) fhi *= 0.5;
      lastSide = -1;
    } else {
      hi = t;
      fhi = ft;
      if (lastSide == 1) flo *= 0.5;
      lastSide = 1;
    }
  }
  return true;
}

void placeOwnedVertices(const Context& ctx, BlockCache& block) {
  // The owned crossed edges, each once, in the order of the surface cells.
  struct Edge {
    uint64_t key;
    int real[3];
    int axis;
    float fa, fb;
  };
  std::vector<Edge> edges;
  for (int cell : block.crossing) {
    const int local[3] = {cell % kBlockCells, (cell / kBlockCells) % kBlockCells, cell / (kBlockCells * kBlockCells)};
    float f0 = block.value(ctx, local[0], local[1], local[2]);
    for (int axis = 0; axis < 3; ++axis) {
      int p[3] = {local[0], local[1], local[2]};
      ++p[axis];
      float f1 = block.value(ctx, p[0], p[1], p[2]);
      if (negative(f0) == negative(f1)) continue;
      int ext[3];
      for (int a = 0; a < 3; ++a) ext[a] = block.base[a] + local[a];
      Edge edge;
      bool cap = false;
      edge.key = edgeKey(ctx, ext, axis, cap, edge.real);
      if (cap || !block.placed.tryEmplace(edge.key, PlacedVertex{}).second) continue;
      edge.axis = axis;
      edge.fa = f0;
      edge.fb = f1;
      edges.push_back(edge);
    }
  }
  // The first evaluation of every edge's vertex, all at once (the same bits
  // as one by one; edges with an end at 0 have none); then each vertex is
  // finished on its own.
  std::vector<float> points;
  for (const Edge& edge : edges) {
    if (edge.fa == 0.0f || edge.fb == 0.0f) continue;
    float a[3], b[3], p[3];
    edgeEnds(ctx, edge.real, edge.axis, a, b);
    falsePosition(a, edge.fa, b, edge.fb, p);
    points.insert(points.end(), p, p + 3);
  }
  const int count = static_cast<int>(points.size() / 3);
  std::vector<float> values(count), gradients(3 * static_cast<size_t>(count));
  ctx.valuesAndGradients(points.data(), count, values.data(), gradients.data());
  block.evaluations += count;
  std::vector<VertexSearch> searches(edges.size());
  int next = 0;
  for (size_t e = 0; e < edges.size(); ++e) {
    const Edge& edge = edges[e];
    VertexSearch& search = searches[e];
    edgeEnds(ctx, edge.real, edge.axis, search.a, search.b);
    search.fa = edge.fa;
    search.fb = edge.fb;
    float first[4];
    const bool evaluated = edge.fa != 0.0f && edge.fb != 0.0f;
    if (evaluated) {
      first[0] = values[next];
      std::copy(&gradients[3 * next], &gradients[3 * next] + 3, first + 1);
      ++next;
    }
    beginVertex(ctx, search, &block.evaluations, evaluated ? first : nullptr);
  }
  // The false-position steps of the grazing edges, each step of all of them
  // at once (plainValues gives plainValue's bits).
  std::vector<int> stepping;
  for (int round = 0; round < kEdgeSteps; ++round) {
    stepping.clear();
    points.clear();
    for (size_t e = 0; e < searches.size(); ++e) {
      VertexSearch& search = searches[e];
      if (!search.searching || !nextStep(search)) continue;
      stepping.push_back(static_cast<int>(e));
      points.insert(points.end(), search.p, search.p + 3);
    }
    if (stepping.empty()) break;
    const int stepCount = static_cast<int>(stepping.size());
    ctx.values(points.data(), stepCount, values.data());
    block.evaluations += stepCount;
    for (int e = 0; e < stepCount; ++e) stepTaken(searches[stepping[e]], values[e]);
  }
  // The polishing evaluations, all at once too.
  points.clear();
  for (const VertexSearch& search : searches) {
    if (search.polish) points.insert(points.end(), search.p, search.p + 3);
  }
  const int polishCount = static_cast<int>(points.size() / 3);
  values.resize(polishCount);
  gradients.resize(3 * static_cast<size_t>(polishCount));
  ctx.valuesAndGradients(points.data(), polishCount, values.data(), gradients.data());
  block.evaluations += polishCount;
  next = 0;
  for (size_t e = 0; e < edges.size(); ++e) {
    float polish[4];
    if (searches[e].polish) {
      polish[0] = values[next];
      std::copy(&gradients[3 * next], &gradients[3 * next] + 3, polish + 1);
      ++next;
    }
    block.placed[edges[e].key] = finishVertex(ctx, searches[e], &block.evaluations, polish);
  }
}

void polygonizeBlock(const Context& ctx, BlockCache& block, BlockMesh& out) {
  BlockTriangulator(ctx, block, out).run();
}

}  // namespace wendfit::mesh_detail

#include "spatial/kd_tree.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <string>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>

#include "core/wide_triples.h"
#endif

#include "core/cpu_features.h"
#include "core/error.h"

namespace wendfit {

struct KdTree::Node {
  int begin;
  int end;
  int left = -1;   // points above the split, -1 when there are none
  int right = -1;  // points at or below the split (and NaN), -1 when none
  int axis = 0;
  float split = 0.0f;
  bool isLeaf = true;
};

namespace {

// Nodes with fewer points are scanned rather than divided.
constexpr int kMinDivisibleCount = 10;
// Sets of at least this many points divide their subtrees of at most
// 1/kSubtreeShare of the points on all threads, each into a pool of its own.
constexpr int kParallelBuild = 1 << 15;
constexpr int kSubtreeShare = 32;

}  // namespace

KdTree::KdTree(PointSet& points) : points_(points), size_(points.count < 0 ? 0 : points.count) {
  if (points.positions.size() < 3 * static_cast<size_t>(size_)) {
    throw Error("kd-tree: the point set has fewer positions than points (expected " +
                std::to_string(points.count) + ")");
  }
  nodes_.push_back(Node{0, size(), -1, -1, 0, 0.0f, true});
  // Every division touches only its own node's range, so the order in which
  // pending nodes are divided does not change the tree (only the nodes'
  // places in the pool, which no query sees): the large nodes here, then
  // the subtrees below them on all threads.
  std::vector<int> subtrees;
  divideAll(nodes_, 0, size() >= kParallelBuild ? size() / kSubtreeShare : 0, subtrees);
  const int count = static_cast<int>(subtrees.size());
  std::vector<std::vector<Node>> pools(count);
#pragma omp parallel for schedule(dynamic, 1) if (count > 1)
  for (int s = 0; s < count; ++s) {
    pools[s].push_back(nodes_[subtrees[s]]);
    std::vector<int> none;
    divideAll(pools[s], 0, 0, none);
  }
  // A subtree's root keeps its place; its other nodes follow the pool.
  for (int s = 0; s < count; ++s) {
    const int base = static_cast<int>(nodes_.size()) - 1;
    for (Node& node : pools[s]) {
      if (node.left >= 0) node.left += base;
      if (node.right >= 0) node.right += base;
    }
    nodes_[subtrees[s]] = pools[s][0];
    nodes_.insert(nodes_.end(), pools[s].begin() + 1, pools[s].end());
  }
}

// An explicit list keeps adversarial input from nesting calls deeply.
void KdTree::divideAll(std::vector<Node>& nodes, int index, int share, std::vector<int>& deferred) {
  std::vector<int> pending{index};
  while (!pending.empty()) {
    const int next = pending.back();
    pending.pop_back();
    if (share > 0 && nodes[next].end - nodes[next].begin <= share) {
      deferred.push_back(next);
      continue;
    }
    if (!divide(nodes, next)) continue;
    if (nodes[next].right >= 0) pending.push_back(nodes[next].right);
    if (nodes[next].left >= 0) pending.push_back(nodes[next].left);
  }
}

KdTree::~KdTree() = default;

// Splits a node of ten or more points at the midpoint of its longest side
// (ties go to y over x and keep x or y over z). A node none of whose points
// lies above the midpoint (coincident points, or a side so short that the
// float midpoint equals the maximum) stays a leaf and keeps its order, since
// dividing it would reproduce itself forever.
bool KdTree::divide(std::vector<Node>& nodes, int index) {
  const Node node = nodes[index];  // the pool may move when children are added
  if (node.end - node.begin < kMinDivisibleCount) return false;
  const float* pos = points_.positions.data();
  float lo[3];
  float hi[3];
  for (int k = 0; k < 3; ++k) lo[k] = hi[k] = pos[3 * static_cast<size_t>(node.begin) + k];
  for (int i = node.begin + 1; i < node.end; ++i) {
    const float* p = pos + 3 * static_cast<size_t>(i);
    for (int k = 0; k < 3; ++k) {
      if (lo[k] > p[k]) lo[k] = p[k];
      if (hi[k] < p[k]) hi[k] = p[k];
    }
  }
  const float extent[3] = {hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2]};
  int axis = extent[1] >= extent[0] ? 1 : 0;
  if (extent[2] > extent[axis]) axis = 2;
  const float split = (lo[axis] + hi[axis]) * 0.5f;
  if (!(hi[axis] > split)) return false;

  int first = node.begin;
  int last = node.end - 1;
  while (first <= last) {
    if (pos[3 * static_cast<size_t>(first) + axis] > split) {
      ++first;
    } else {
      points_.exchange(first, last);
      --last;
    }
  }

  Node& divided = nodes[index];
  divided.axis = axis;
  divided.split = split;
  divided.isLeaf = false;
  const int leftIndex = first != node.begin ? static_cast<int>(nodes.size()) : -1;
  const int rightIndex =
      first != node.end ? static_cast<int>(nodes.size()) + (leftIndex >= 0 ? 1 : 0) : -1;
  divided.left = leftIndex;
  divided.right = rightIndex;
  if (leftIndex >= 0) nodes.push_back(Node{node.begin, first, -1, -1, 0, 0.0f, true});
  if (rightIndex >= 0) nodes.push_back(Node{first, node.end, -1, -1, 0, 0.0f, true});
  return true;
}

// The leaf test of every query: emits the points of [first, last) strictly
// closer than `radius` to `point`, in double precision with the squares
// added z, y, x (the wide form in queryRuns does the same per lane).
namespace {

template <typename Emit>
void emitWithin(const float* pos, int first, int last, const float point[3], float radius, Emit& emit) {
  const double radiusSq = static_cast<double>(radius) * static_cast<double>(radius);
  const double qx = point[0];
  const double qy = point[1];
  const double qz = point[2];
  for (int i = first; i < last; ++i) {
    const float* p = pos + 3 * static_cast<size_t>(i);
    const double dx = qx - p[0];
    const double dy = qy - p[1];
    const double dz = qz - p[2];
    const double distSq = dz * dz + dy * dy + dx * dx;
    if (distSq < radiusSq) emit(i);
  }
}

}  // namespace

// Emits the points of the subtree at `index` closer than `radius` to
// `point`. Left subtrees (points above the split) come first, and nest calls;
// the right-hand descent loops. The pruning tests are inclusive and the
// distance test strict.
template <typename Emit>
void KdTree::collect(int index, const float point[3], float radius, Emit& emit) const {
  const Node* node = &nodes_[index];
  while (!node->isLeaf) {
    const float diff = point[node->axis] - node->split;
    if (node->left >= 0 && diff + radius >= 0.0f) collect(node->left, point, radius, emit);
    if (node->right < 0 || !(diff - radius <= 0.0f)) return;
    node = &nodes_[node->right];
  }
  emitWithin(points_.positions.data(), node->begin, node->end, point, radius, emit);
}

// The box form of collect's pruning: a child is skipped only where the
// test of collect skips it for every point of the box (float rounding is
// monotonic, so the box's extreme coordinate decides for all of them).
void KdTree::collectRuns(int index, const float low[3], const float high[3], float radius,
                         std::vector<std::pair<int, int>>& runs) const {
  const Node* node = &nodes_[index];
  while (!node->isLeaf) {
    if (node->left >= 0 && (high[node->axis] - node->split) + radius >= 0.0f) {
      collectRuns(node->left, low, high, radius, runs);
    }
    if (node->right < 0 || !((low[node->axis] - node->split) - radius <= 0.0f)) return;
    node = &nodes_[node->right];
  }
  if (node->begin == node->end) return;
  if (!runs.empty() && runs.back().second == node->begin) {
    runs.back().second = node->end;
  } else {
    runs.emplace_back(node->begin, node->end);
  }
}

void KdTree::candidateRuns(const float low[3], const float high[3], float radius,
                           std::vector<std::pair<int, int>>& runs) const {
  runs.clear();
  if (size_ > 0) collectRuns(0, low, high, radius, runs);
}

#if defined(__x86_64__) && defined(__GNUC__)
#define WENDFIT_WIDE_RUNS 1

namespace {

// GCC 12 takes the undefined upper halves inside its own AVX-512 widening
// intrinsics for uninitialized values.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

// queryRuns' leaf test on eight points at a time: the same double
// operations per lane (float coordinates widened, differences, squares
// added z, y, x), so the same points pass.
__attribute__((target("avx512f"))) void wideQueryRuns(const float* pos, const float point[3],
                                                      double radiusSq,
                                                      const std::vector<std::pair<int, int>>& runs,
                                                      std::vector<int>& results) {
  const __m512d qx = _mm512_set1_pd(point[0]), qy = _mm512_set1_pd(point[1]),
                qz = _mm512_set1_pd(point[2]), limit = _mm512_set1_pd(radiusSq);
  const __m512i lanes = _mm512_set_epi32(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
  for (const auto& [first, last] : runs) {
    for (int i = first; i < last; i += 8) {
      const int count = std::min(8, last - i);
      __m256 c[3];
      loadEightTriples(pos + 3 * static_cast<size_t>(i), count, c);
      const __m512d px = _mm512_cvtps_pd(c[0]);
      const __m512d py = _mm512_cvtps_pd(c[1]);
      const __m512d pz = _mm512_cvtps_pd(c[2]);
      const __m512d dx = _mm512_sub_pd(qx, px);
      const __m512d dy = _mm512_sub_pd(qy, py);
      const __m512d dz = _mm512_sub_pd(qz, pz);
      const __m512d distSq =
          _mm512_add_pd(_mm512_add_pd(_mm512_mul_pd(dz, dz), _mm512_mul_pd(dy, dy)), _mm512_mul_pd(dx, dx));
      const __mmask8 inside =
          _mm512_mask_cmp_pd_mask(static_cast<__mmask8>((1u << count) - 1), distSq, limit, _CMP_LT_OQ);
      if (inside == 0) continue;
      const size_t at = results.size();
      results.resize(at + 8);
      // Writes only the selected lanes, at most eight.
      _mm512_mask_compressstoreu_epi32(results.data() + at, static_cast<__mmask16>(inside),
                                       _mm512_add_epi32(_mm512_set1_epi32(i), lanes));
      results.resize(at + static_cast<size_t>(__builtin_popcount(inside)));
    }
  }
}

#pragma GCC diagnostic pop

// queryRuns' leaf test on four points at a time, for processors with AVX2
// but not AVX-512: the same double operations per lane as emitWithin. The
// answer is written with a branch-free cursor into room for every
// candidate, then cut to the points found; a run's last few points take
// emitWithin itself.
__attribute__((target("avx2"))) void avx2QueryRuns(const float* pos, const float point[3], float radius,
                                                    const std::vector<std::pair<int, int>>& runs,
                                                    std::vector<int>& results) {
  const double radiusSq = static_cast<double>(radius) * static_cast<double>(radius);
  size_t candidates = 0;
  for (const auto& [first, last] : runs) candidates += static_cast<size_t>(last - first);
  results.resize(candidates);
  int* out = results.data();
  size_t found = 0;
  const __m256d qx = _mm256_set1_pd(point[0]), qy = _mm256_set1_pd(point[1]),
                qz = _mm256_set1_pd(point[2]), limit = _mm256_set1_pd(radiusSq);
  for (const auto& [first, last] : runs) {
    int i = first;
    for (; i + 4 <= last; i += 4) {
      const float* p = pos + 3 * static_cast<size_t>(i);
      const __m256d px = _mm256_cvtps_pd(_mm_setr_ps(p[0], p[3], p[6], p[9]));
      const __m256d py = _mm256_cvtps_pd(_mm_setr_ps(p[1], p[4], p[7], p[10]));
      const __m256d pz = _mm256_cvtps_pd(_mm_setr_ps(p[2], p[5], p[8], p[11]));
      const __m256d dx = _mm256_sub_pd(qx, px);
      const __m256d dy = _mm256_sub_pd(qy, py);
      const __m256d dz = _mm256_sub_pd(qz, pz);
      const __m256d distSq =
          _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(dz, dz), _mm256_mul_pd(dy, dy)), _mm256_mul_pd(dx, dx));
      const int inside = _mm256_movemask_pd(_mm256_cmp_pd(distSq, limit, _CMP_LT_OQ));
      if (inside == 0) continue;
      for (int k = 0; k < 4; ++k) {
        out[found] = i + k;
        found += static_cast<size_t>((inside >> k) & 1);
      }
    }
    auto emit = [out, &found](int j) { out[found++] = j; };
    emitWithin(pos, i, last, point, radius, emit);
  }
  results.resize(found);
}

}  // namespace

#endif

namespace {
std::atomic<int> leafTestWidth{8};
#ifdef WENDFIT_WIDE_RUNS
bool wideLeafTests() { return leafTestWidth.load(std::memory_order_relaxed) >= 8 && cpuHasAvx512f(); }
bool avx2LeafTests() { return leafTestWidth.load(std::memory_order_relaxed) >= 4 && cpuHasAvx2(); }
#endif
}  // namespace

int limitLeafTestWidth(int points) { return leafTestWidth.exchange(points); }

bool wideLeafTestsEnabled() {
#ifdef WENDFIT_WIDE_RUNS
  return wideLeafTests();
#else
  return false;
#endif
}

int KdTree::queryRuns(const float point[3], float radius, const std::vector<std::pair<int, int>>& runs,
                      std::vector<int>& results) const {
  results.clear();
#ifdef WENDFIT_WIDE_RUNS
  if (wideLeafTests()) {
    wideQueryRuns(points_.positions.data(), point, static_cast<double>(radius) * static_cast<double>(radius),
                  runs, results);
    return static_cast<int>(results.size());
  }
  if (avx2LeafTests()) {
    avx2QueryRuns(points_.positions.data(), point, radius, runs, results);
    return static_cast<int>(results.size());
  }
#endif
  auto emit = [&results](int i) { results.push_back(i); };
  for (const auto& [first, last] : runs) {
    emitWithin(points_.positions.data(), first, last, point, radius, emit);
  }
  return static_cast<int>(results.size());
}

const int* KdTree::query(const float point[3], float radius) {
  query(point, radius, results_);
  return results_.data();
}

int KdTree::query(const float point[3], float radius, std::vector<int>& results) const {
#ifdef WENDFIT_WIDE_RUNS
  // A single point is a box: its runs are the leaves collect would visit,
  // and the wide leaf test finds the same points in the same order.
  if ((wideLeafTests() || avx2LeafTests()) && std::isfinite(point[0]) && std::isfinite(point[1]) &&
      std::isfinite(point[2])) {
    thread_local std::vector<std::pair<int, int>> runs;
    candidateRuns(point, point, radius, runs);
    return queryRuns(point, radius, runs, results);
  }
#endif
  results.clear();
  auto append = [&results](int i) { results.push_back(i); };
  collect(0, point, radius, append);
  return static_cast<int>(results.size());
}

int KdTree::query(const float point[3], float radius, int* results) const {
  int count = 0;
  auto store = [results, &count](int i) { results[count++] = i; };
  collect(0, point, radius, store);
  return count;
}

}  // namespace wendfit

// eval_bench: CPU time of value(), valueAndGradient(), plainValue() and plainValues() of a
// fitted function
// at points near its surface, on one thread, with a digest of every result
// bit so that two builds can be checked for identical evaluation.
//
//   eval_bench FUNCTION_FILE [points] [seed] [shuffled | grouped]
//
// The query points are the centres of seeded random records, each moved by a
// random offset of up to a quarter of the record's radius: near the surface,
// where the fit and the extraction evaluate. They are visited in record
// order (spatially coherent, as in the fit and the extraction) unless
// "shuffled" is given. "grouped" times only plainValue and plainValues, on
// points around the finest level's records (where the fit's last levels and
// the extraction evaluate), in Morton order.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <vector>

#include "function/implicit_function.h"
#include "io/function_file_reader.h"

namespace {

double cpuSeconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

void mix(std::uint64_t& digest, float v) {
  std::uint32_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  digest = (digest ^ bits) * 0x100000001b3ULL;
}

// Every record of the function in file order (a cell's list, then its children).
void collect(const wendfit::FunctionCell& cell, std::vector<const wendfit::BasisFunction*>& out) {
  for (const wendfit::FunctionNode* n = cell.functions; n; n = n->next) out.push_back(n->function);
  if (!cell.children) return;
  for (const auto& child : *cell.children) {
    if (child) collect(*child, out);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: eval_bench FUNCTION_FILE [points] [seed] [shuffled | grouped]\n");
    return 2;
  }
  const long count = argc > 2 ? std::atol(argv[2]) : 20000;
  const unsigned seed = argc > 3 ? static_cast<unsigned>(std::atol(argv[3])) : 1;
  const bool shuffled = argc > 4 && std::strcmp(argv[4], "shuffled") == 0;
  const bool groupedOnly = argc > 4 && std::strcmp(argv[4], "grouped") == 0;
  const std::unique_ptr<wendfit::ImplicitFunction> function = wendfit::readFunctionFile(argv[1]);
  std::vector<const wendfit::BasisFunction*> records;
  collect(function->root(), records);
  if (groupedOnly) {
    int finest = 0;
    for (const wendfit::BasisFunction* f : records) finest = std::max(finest, f->level);
    records.erase(std::remove_if(records.begin(), records.end(),
                                 [&](const wendfit::BasisFunction* f) { return f->level != finest; }),
                  records.end());
  }
  if (records.empty()) {
    std::fprintf(stderr, "eval_bench: %s holds no records\n", argv[1]);
    return 1;
  }
  std::mt19937 rng(seed);
  std::uniform_int_distribution<size_t> pick(0, records.size() - 1);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  std::vector<float> points(3 * count);
  // In record order, the order in which the fit and the extraction meet
  // points near each other, unless "shuffled" is asked for.
  std::vector<size_t> picks(count);
  for (size_t& p : picks) p = pick(rng);
  if (!shuffled) std::sort(picks.begin(), picks.end());
  for (long i = 0; i < count; ++i) {
    const wendfit::BasisFunction& f = *records[picks[i]];
    for (int k = 0; k < 3; ++k) points[3 * i + k] = f.centre[k] + 0.25f * f.radius * unit(rng);
  }

  std::uint64_t valueDigest = 1469598103934665603ULL;
  double start = cpuSeconds();
  for (long i = 0; i < (groupedOnly ? 0 : count); ++i) {
    mix(valueDigest, function->value(points[3 * i], points[3 * i + 1], points[3 * i + 2]));
  }
  const double valueSeconds = cpuSeconds() - start;

  std::uint64_t gradientDigest = 1469598103934665603ULL;
  start = cpuSeconds();
  for (long i = 0; i < (groupedOnly ? 0 : count); ++i) {
    float g[3];
    mix(gradientDigest,
        function->valueAndGradient(g, points[3 * i], points[3 * i + 1], points[3 * i + 2]));
    for (float c : g) mix(gradientDigest, c);
  }
  const double gradientSeconds = cpuSeconds() - start;

  // The extraction's value (powers by multiplication): no digest, it is not
  // meant to match value() bit for bit.
  start = cpuSeconds();
  float plainSum = 0.0f;
  for (long i = 0; i < (groupedOnly ? 0 : count); ++i) {
    plainSum += function->plainValue(points[3 * i], points[3 * i + 1], points[3 * i + 2]);
  }
  const double plainSeconds = cpuSeconds() - start;

  // The same points in Morton order of the function's box, close neighbours
  // one after the other as the fit's centres come: plainValue point by point
  // and plainValues in fixed chunks, counted where their bits differ.
  std::vector<std::pair<std::uint64_t, long>> order(count);
  for (long i = 0; i < count; ++i) {
    std::uint64_t code = 0;
    for (int k = 0; k < 3; ++k) {
      const float* low = function->boxMin();
      const float* high = function->boxMax();
      const double t = (points[3 * i + k] - low[k]) / (static_cast<double>(high[k]) - low[k]);
      const auto cell = static_cast<std::uint64_t>(std::clamp(t, 0.0, 1.0) * 2097151.0);
      for (int b = 0; b < 21; ++b) code |= ((cell >> b) & 1) << (3 * b + k);
    }
    order[i] = {code, i};
  }
  std::sort(order.begin(), order.end());
  std::vector<float> sorted(3 * count);
  for (long i = 0; i < count; ++i) {
    for (int k = 0; k < 3; ++k) sorted[3 * i + k] = points[3 * order[i].second + k];
  }
  points.swap(sorted);
  start = cpuSeconds();
  float sortedSum = 0.0f;
  for (long i = 0; i < count; ++i) {
    sortedSum += function->plainValue(points[3 * i], points[3 * i + 1], points[3 * i + 2]);
  }
  const double sortedSeconds = cpuSeconds() - start;
  std::vector<float> grouped(count);
  constexpr int kChunk = 256;
  start = cpuSeconds();
  for (long i = 0; i < count; i += kChunk) {
    const int n = static_cast<int>(std::min<long>(kChunk, count - i));
    function->plainValues(points.data() + 3 * i, n, grouped.data() + i);
  }
  const double groupSeconds = cpuSeconds() - start;
  long differing = 0;
  for (long i = 0; i < count; ++i) {
    const float single = function->plainValue(points[3 * i], points[3 * i + 1], points[3 * i + 2]);
    differing += std::memcmp(&single, &grouped[i], sizeof single) != 0 ? 1 : 0;
  }

  std::printf("%ld points: value %.3f us/point (digest %016llx), valueAndGradient %.3f us/point "
              "(digest %016llx), plainValue %.3f us/point (sum %g); in Morton order: plainValue "
              "%.3f us/point (sum %g), plainValues %.3f us/point (%ld differ from plainValue)\n",
              count, 1e6 * valueSeconds / count, static_cast<unsigned long long>(valueDigest),
              1e6 * gradientSeconds / count, static_cast<unsigned long long>(gradientDigest),
              1e6 * plainSeconds / count, static_cast<double>(plainSum),
              1e6 * sortedSeconds / count, static_cast<double>(sortedSum), 1e6 * groupSeconds / count, differing);
  return 0;
}

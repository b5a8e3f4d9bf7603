#include "driver/level_rule.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "driver/run.h"
#include "spatial/nearest_points.h"

namespace wendfit {

namespace {

// A level count this far from the rule's is named as the likely cause of a
// broken mesh; one level either way is within the rule's own tolerance.
constexpr int kAdviceLevelGap = 2;

}  // namespace

double measureSampleSpacing(const PointSet& points) {
  NearestPoints index(points.positions.data(), points.count);
  return medianSpacing(index);
}

double finestSupportRadius(int levels, double boxDiagonal, double rootScale, double radiusPerCell) {
  return radiusPerCell * 0.5 * boxDiagonal * rootScale * std::ldexp(1.0, 1 - levels);
}

int levelsForSpacing(double boxDiagonal, double spacing, double radiusSpacings) {
  const double halvings = std::log2(1.5 * boxDiagonal / (radiusSpacings * spacing));
  if (!std::isfinite(halvings)) return halvings > 0 ? maxFitLevels() : 1;
  const double levels = 1.0 + std::round(halvings);
  return static_cast<int>(std::clamp(levels, 1.0, static_cast<double>(maxFitLevels())));
}

LevelGeometry exactLevels(double boxDiagonal, double spacing, double radiusSpacings, double radiusPerCell) {
  const double cell = radiusSpacings * spacing / radiusPerCell;
  LevelGeometry geometry;
  geometry.radiusPerCell = radiusPerCell;
  // Depth l's cells have the diagonal boxDiagonal / 2^l.
  const double depth = std::ceil(std::log2(boxDiagonal / cell));
  geometry.levels = static_cast<int>(std::clamp(std::isfinite(depth) ? depth : 1.0, 1.0,
                                                static_cast<double>(maxFitLevels())));
  const double scale = cell / std::ldexp(boxDiagonal, -geometry.levels);
  geometry.rootScale = std::isfinite(scale) ? std::max(1.0, scale) : 1.0;
  return geometry;
}

std::string levelAdvice(int levels, double boxDiagonal, double spacing, long triangles, long components,
                        double radiusSpacings) {
  if (!(spacing > 0.0) || (triangles > 0 && components <= 1)) return "";
  const int suggested = levelsForSpacing(boxDiagonal, spacing, radiusSpacings);
  const double finestSpacings = finestSupportRadius(levels, boxDiagonal) / spacing;
  const int gap = triangles == 0 ? 1 : kAdviceLevelGap;
  char text[320];
  if (levels - suggested >= gap) {
    std::snprintf(text, sizeof text,
                  "LEVELS %d is finer than the data (finest support radius %.2g sample spacings); try %d",
                  levels, finestSpacings, suggested);
  } else if (suggested - levels >= gap) {
    std::snprintf(text, sizeof text,
                  "LEVELS %d is coarser than the data (finest support radius %.3g sample spacings); try %d",
                  levels, finestSpacings, suggested);
  } else if (triangles == 0) {
    std::snprintf(text, sizeof text,
                  "no surface although LEVELS %d suits the data: the points enclose no volume (an open "
                  "sheet or a flat patch has no inside); sample a closed surface",
                  levels);
  } else {
    return "";
  }
  return text;
}

}  // namespace wendfit

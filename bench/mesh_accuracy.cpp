// Ground truth for the surface extraction: samples oriented points from
// shapes whose distance function is known in closed form, and measures how
// far an extracted mesh lies from the true surface.
//
//   mesh_accuracy sample SHAPE COUNT SEED OUT.pts
//       COUNT points, uniform by area, in the oriented point file format
//       (count, positions, normals; normals point into the shape, as the
//       point files of this project do).
//   mesh_accuracy measure SHAPE MESH [SAMPLES]
//       samples the mesh uniformly by area (SAMPLES points, default
//       4,000,000, plus every vertex), measures each sample's exact distance
//       to the true surface and prints one line of key=value pairs: mean and
//       maximum distance as fractions of the shape's box diagonal, topology
//       and component count.
//
// Shapes (all in their own units, deliberately not centred at the origin):
//   sphere  radius 1 around (0.3, -0.2, 0.1)
//   torus   ring radius 1, tube radius 0.4, axis z
//   bend    a tube of radius 0.3 around a 270-degree arc of radius 1 in the
//           xy plane, closed by half spheres: non-convex, genus 0

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "core/error.h"
#include "io/mesh_data.h"
#include "mesh/mesh_topology.h"

namespace {

using Vec = std::array<double, 3>;

constexpr double kPi = 3.14159265358979323846;
const Vec kSphereCentre = {0.3, -0.2, 0.1};
constexpr double kSphereRadius = 1.0;
constexpr double kTorusRing = 1.0, kTorusTube = 0.4;
constexpr double kBendRing = 1.0, kBendTube = 0.3, kBendHalfAngle = 0.75 * kPi;

double norm(const Vec& v) { return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]); }

// ---- exact distances ----

double sphereDistance(const Vec& p) {
  Vec d = {p[0] - kSphereCentre[0], p[1] - kSphereCentre[1], p[2] - kSphereCentre[2]};
  return std::fabs(norm(d) - kSphereRadius);
}

double torusDistance(const Vec& p) {
  double ring = std::hypot(p[0], p[1]) - kTorusRing;
  return std::fabs(std::hypot(ring, p[2]) - kTorusTube);
}

// Distance to the arc {(cos a, sin a, 0) * ring : |a| <= half angle}; the
// tube's surface is the set at distance kBendTube from it, and since the
// tube is thinner than the arc's radius and its ends are far apart, the
// distance to that surface is |distance to the arc - tube radius|.
double bendDistance(const Vec& p) {
  double angle = std::atan2(p[1], p[0]);
  double closest;
  if (std::fabs(angle) <= kBendHalfAngle) {
    closest = std::hypot(std::hypot(p[0], p[1]) - kBendRing, p[2]);
  } else {
    closest = 1e300;
    for (double end : {kBendHalfAngle, -kBendHalfAngle}) {
      Vec e = {kBendRing * std::cos(end), kBendRing * std::sin(end), 0.0};
      closest = std::min(closest, norm({p[0] - e[0], p[1] - e[1], p[2] - e[2]}));
    }
  }
  return std::fabs(closest - kBendTube);
}

struct Shape {
  const char* name;
  double (*distance)(const Vec&);
  Vec boxMin, boxMax;
};

const Shape kShapes[] = {
    {"sphere", sphereDistance, {-0.7, -1.2, -0.9}, {1.3, 0.8, 1.1}},
    {"torus", torusDistance, {-1.4, -1.4, -0.4}, {1.4, 1.4, 0.4}},
    {"bend", bendDistance, {-0.3 - 0.5 * std::sqrt(2.0), -1.3, -0.3}, {1.3, 1.3, 0.3}},
};

const Shape& shapeNamed(const std::string& name) {
  for (const Shape& s : kShapes) {
    if (name == s.name) return s;
  }
  throw wendfit::Error("unknown shape \"" + name + "\" (expected sphere, torus or bend)");
}

double boxDiagonal(const Shape& s) {
  return norm({s.boxMax[0] - s.boxMin[0], s.boxMax[1] - s.boxMin[1], s.boxMax[2] - s.boxMin[2]});
}

// ---- sampling (point, outward normal), uniform by area ----

using Rng = std::mt19937_64;

Vec unitVector(Rng& rng) {
  std::normal_distribution<double> gauss;
  while (true) {
    Vec v = {gauss(rng), gauss(rng), gauss(rng)};
    double n = norm(v);
    if (n > 1e-12) return {v[0] / n, v[1] / n, v[2] / n};
  }
}

// A point on a torus section (ring angle a in [a0, a1]), uniform by area.
void torusPoint(Rng& rng, double ring, double tube, double a0, double a1, Vec& p, Vec& n) {
  std::uniform_real_distribution<double> unit;
  double a = a0 + (a1 - a0) * unit(rng);
  double v;
  do {
    v = 2.0 * kPi * unit(rng);
  } while (unit(rng) * (ring + tube) > ring + tube * std::cos(v));
  n = {std::cos(v) * std::cos(a), std::cos(v) * std::sin(a), std::sin(v)};
  double r = ring + tube * std::cos(v);
  p = {r * std::cos(a), r * std::sin(a), tube * std::sin(v)};
}

void samplePoint(const Shape& shape, Rng& rng, Vec& p, Vec& n) {
  std::string name = shape.name;
  if (name == "sphere") {
    n = unitVector(rng);
    for (int k = 0; k < 3; ++k) p[k] = kSphereCentre[k] + kSphereRadius * n[k];
  } else if (name == "torus") {
    torusPoint(rng, kTorusRing, kTorusTube, 0.0, 2.0 * kPi, p, n);
  } else {
    // Tube area 2 pi r * ring * arc length, the two half spheres 4 pi r^2.
    double tubeArea = 2.0 * kPi * kBendTube * kBendRing * 2.0 * kBendHalfAngle;
    double capArea = 4.0 * kPi * kBendTube * kBendTube;
    std::uniform_real_distribution<double> unit;
    if (unit(rng) * (tubeArea + capArea) < tubeArea) {
      torusPoint(rng, kBendRing, kBendTube, -kBendHalfAngle, kBendHalfAngle, p, n);
      return;
    }
    double end = unit(rng) < 0.5 ? kBendHalfAngle : -kBendHalfAngle;
    // The cap's half space: beyond the end, along the arc's direction there.
    double sign = end > 0 ? 1.0 : -1.0;
    Vec tangent = {-std::sin(end) * sign, std::cos(end) * sign, 0.0};
    do {
      n = unitVector(rng);
    } while (n[0] * tangent[0] + n[1] * tangent[1] + n[2] * tangent[2] < 0.0);
    Vec c = {kBendRing * std::cos(end), kBendRing * std::sin(end), 0.0};
    for (int k = 0; k < 3; ++k) p[k] = c[k] + kBendTube * n[k];
  }
}

int sample(const Shape& shape, long count, unsigned seed, const std::string& path) {
  Rng rng(seed);
  std::vector<Vec> points(count), normals(count);
  for (long i = 0; i < count; ++i) samplePoint(shape, rng, points[i], normals[i]);
  std::FILE* out = std::fopen(path.c_str(), "w");
  if (!out) throw wendfit::Error(wendfit::fileMessage(path, "cannot create"));
  std::fprintf(out, "%ld\n", count);
  for (const Vec& p : points) std::fprintf(out, "%.9g %.9g %.9g\n", p[0], p[1], p[2]);
  for (const Vec& n : normals) std::fprintf(out, "%.9g %.9g %.9g\n", -n[0], -n[1], -n[2]);
  if (std::fclose(out) != 0) throw wendfit::Error(wendfit::fileMessage(path, "cannot write"));
  return 0;
}

// ---- measuring ----

int measure(const Shape& shape, const std::string& path, long samples) {
  wendfit::TriangleMesh mesh = wendfit::readMesh(path);
  wendfit::MeshTopology topology = wendfit::analyzeTopology(mesh);
  long triangles = mesh.triangleCount();
  std::vector<double> cumulative(triangles);
  double area = 0.0;
  auto corner = [&](long t, int k) {
    const float* p = &mesh.positions[3 * mesh.triangles[3 * t + k]];
    return Vec{p[0], p[1], p[2]};
  };
  for (long t = 0; t < triangles; ++t) {
    Vec a = corner(t, 0), b = corner(t, 1), c = corner(t, 2);
    Vec u = {b[0] - a[0], b[1] - a[1], b[2] - a[2]}, w = {c[0] - a[0], c[1] - a[1], c[2] - a[2]};
    area += 0.5 * norm({u[1] * w[2] - u[2] * w[1], u[2] * w[0] - u[0] * w[2], u[0] * w[1] - u[1] * w[0]});
    cumulative[t] = area;
  }
  double sum = 0.0, worst = 0.0;
  long measured = 0;
  auto add = [&](const Vec& p) {
    double d = shape.distance(p);
    sum += d;
    worst = std::max(worst, d);
    ++measured;
  };
  for (long v = 0; v < mesh.vertexCount(); ++v) {
    add({mesh.positions[3 * v], mesh.positions[3 * v + 1], mesh.positions[3 * v + 2]});
  }
  Rng rng(12345);
  std::uniform_real_distribution<double> unit;
  for (long s = 0; s < samples && triangles > 0; ++s) {
    long t = std::lower_bound(cumulative.begin(), cumulative.end(), unit(rng) * area) - cumulative.begin();
    t = std::min(t, triangles - 1);
    double r1 = std::sqrt(unit(rng)), r2 = unit(rng);
    Vec a = corner(t, 0), b = corner(t, 1), c = corner(t, 2);
    Vec p;
    for (int k = 0; k < 3; ++k) p[k] = (1 - r1) * a[k] + r1 * (1 - r2) * b[k] + r1 * r2 * c[k];
    add(p);
  }
  double diagonal = boxDiagonal(shape);
  std::printf(
      "shape=%s vertices=%ld triangles=%ld components=%ld watertight=%d manifold=%d oriented=%d euler=%ld "
      "samples=%ld mean=%.3e%% max=%.3e%% area=%.6g\n",
      shape.name, mesh.vertexCount(), triangles, topology.components, topology.watertight() ? 1 : 0,
      topology.manifold() ? 1 : 0, topology.oriented() ? 1 : 0, topology.eulerCharacteristic, measured,
      100.0 * sum / std::max(1L, measured) / diagonal, 100.0 * worst / diagonal, area);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 5 && args[0] == "sample") {
      return sample(shapeNamed(args[1]), std::atol(args[2].c_str()),
                    static_cast<unsigned>(std::atol(args[3].c_str())), args[4]);
    }
    if ((args.size() == 3 || args.size() == 4) && args[0] == "measure") {
      return measure(shapeNamed(args[1]), args[2], args.size() == 4 ? std::atol(args[3].c_str()) : 4000000);
    }
    std::fprintf(stderr,
                 "usage: mesh_accuracy sample SHAPE COUNT SEED OUT.pts\n"
                 "       mesh_accuracy measure SHAPE MESH [SAMPLES]\n");
    return 2;
  } catch (const wendfit::Error& error) {
    std::fprintf(stderr, "wendfit: error: %s\n", error.what());
    return 1;
  }
}

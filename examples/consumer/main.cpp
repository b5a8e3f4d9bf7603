// Fits points on a sphere through the wendfit library, evaluates the
// function and extracts its zero set.
#include <cmath>
#include <cstdio>

#include <wendfit/wendfit.h>

int main() {
  // Fibonacci points on the unit sphere, with outward normals.
  wendfit::OrientedPoints points;
  const int count = 2000;
  for (int i = 0; i < count; ++i) {
    const double z = 1.0 - (2.0 * i + 1.0) / count;
    const double r = std::sqrt(1.0 - z * z);
    const double phi = 2.399963229728653 * i;
    const float p[3] = {float(r * std::cos(phi)), float(r * std::sin(phi)), float(z)};
    points.positions.insert(points.positions.end(), p, p + 3);
    points.normals.insert(points.normals.end(), p, p + 3);
  }
  try {
    wendfit::FitOptions options;
    options.levels = 6;
    wendfit::FitResult result = wendfit::fit(points, options);
    // The centre is inside (positive), a point beyond the sphere outside.
    const std::vector<float> queries = {0, 0, 0, 1.3f, 0, 0};
    wendfit::EvaluationOptions query;
    query.inputScale = result.scale;
    wendfit::Evaluation values = wendfit::evaluate(result.function, queries, query);
    wendfit::ExtractOptions extract;
    extract.inputScale = result.scale;
    wendfit::TriangleMesh mesh = wendfit::extract(result.function, extract);
    std::printf("values %.3f %.3f, %ld vertices, %ld triangles\n", values.values[0], values.values[1],
                mesh.vertexCount(), mesh.triangleCount());
    return values.values[0] > 0 && values.values[1] < 0 && mesh.vertexCount() > 0 ? 0 : 1;
  } catch (const wendfit::Error& error) {
    std::fprintf(stderr, "sphere_consumer: error: %s\n", error.what());
    return 1;
  }
}

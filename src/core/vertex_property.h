#pragma once
// A named per-vertex value of a mesh, written and read as a PLY vertex
// property `property float <name>` after x y z [nx ny nz].

#include <string>
#include <vector>

namespace wendfit {

struct VertexProperty {
  std::string name;           // a PLY identifier: no white space
  std::vector<float> values;  // one per vertex, in vertex order
};

}  // namespace wendfit

#pragma once
// Writing triangle meshes for standard viewers.
//
//   .ply  binary little-endian PLY by default, ASCII PLY on request:
//         float x y z [float nx ny nz] [float <property> ...], faces as
//         `list uchar int vertex_indices`
//   .obj  "v x y z" [and "vn nx ny nz"], faces "f a b c" (or "f a//a b//b c//c"), 1-based
//   .off  OFF (NOFF with normals): counts line, then vertices, then "3 a b c"
//   .stl  binary STL: 80-byte header, triangle count, then per triangle its
//         unit normal (from the winding), three corners and a zero attribute
//         word; STL has no shared vertices and no per-vertex properties
//
// Every file is written to a temporary file beside the target and renamed
// onto it when complete, so the target never holds a partial mesh. Text
// numbers use "%.9g", which reads back to the identical float.

#include <string>
#include <vector>

#include "mesh/surface_extractor.h"
#include "core/vertex_property.h"

namespace wendfit {

enum class MeshFormat { BinaryPly, AsciiPly, Obj, Off, Stl };

// The format the file name's extension selects (case does not matter);
// asciiPly turns .ply into ASCII PLY (OBJ and OFF are text anyway). Throws
// Error "<path>: unknown mesh format ..." for any other extension.
MeshFormat meshFormatFor(const std::string& path, bool asciiPly);

// Writes `mesh` to `path`; the PLY and OBJ header comment names `toolName`
// as the writer. Each of `properties` (one value per vertex) is written as a
// PLY vertex float property of its name, in list order, after the position
// and normal (mesh viewers colour by `quality`, for example). Throws Error
// naming the path when the file cannot be created or written, or for
// properties with a non-PLY format or of the wrong count; the target is then
// left as it was.
void writeMesh(const TriangleMesh& mesh, const std::string& path, MeshFormat format,
               const std::string& toolName = "wendfit", const std::vector<VertexProperty>& properties = {});

}  // namespace wendfit

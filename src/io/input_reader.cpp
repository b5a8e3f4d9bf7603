// Dispatch of the input file to its reader. Only the first bytes are read
// here; the chosen reader then loads the whole file itself.

#include "io/input_reader.h"

#include <cctype>

#include "core/text_scanner.h"
#include "io/format_support.h"
#include "io/mesh_data.h"
#include "io/mesh_file_reader.h"
#include "io/obj_reader.h"
#include "io/off_reader.h"
#include "io/ply_reader.h"
#include "io/point_file_reader.h"
#include "io/xyz_reader.h"

namespace wendfit {

namespace {

bool endsWithIgnoringCase(const std::string& text, std::string_view suffix) {
  if (text.size() < suffix.size()) return false;
  for (size_t i = 0; i < suffix.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[text.size() - suffix.size() + i]);
    if (std::tolower(c) != suffix[i]) return false;
  }
  return true;
}

// The first line is exactly "ply" (a '\r' before the line feed allowed).
bool beginsWithPlyLine(std::string_view head) {
  return head.substr(0, 4) == "ply\n" || head.substr(0, 5) == "ply\r\n";
}

std::string readHead(const std::string& path) {
  std::string head(8, '\0');
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return std::string();  // the reader reports why it cannot open it
  head.resize(std::fread(head.data(), 1, head.size(), file));
  std::fclose(file);
  return head;
}

}  // namespace

InputFormat detectInputFormat(const std::string& path, std::string_view head) {
  if (path.find(".ply2") != std::string::npos) return InputFormat::kPly2Mesh;
  if (beginsWithPlyLine(head) || endsWithIgnoringCase(path, ".ply")) return InputFormat::kPly;
  for (const char* suffix : {".xyz", ".xyzn", ".pwn", ".npts"}) {
    if (endsWithIgnoringCase(path, suffix)) return InputFormat::kXyz;
  }
  if (endsWithIgnoringCase(path, ".off")) return InputFormat::kOff;
  if (endsWithIgnoringCase(path, ".obj")) return InputFormat::kObj;
  if (endsWithIgnoringCase(path, ".stl")) return InputFormat::kStl;
  return InputFormat::kPointFile;
}

const char* inputFormatName(InputFormat format) {
  switch (format) {
    case InputFormat::kPly2Mesh: return ".ply2 mesh";
    case InputFormat::kPly: return "PLY";
    case InputFormat::kXyz: return "XYZ point list";
    case InputFormat::kOff: return "OFF mesh";
    case InputFormat::kObj: return "OBJ";
    case InputFormat::kStl: return "binary STL mesh";
    case InputFormat::kPointFile: break;
  }
  return "oriented point file";
}

PointSet readAnyInput(const std::string& path, std::FILE* console, FaceList* faces) {
  PointSet points;
  if (faces) *faces = FaceList();
  switch (detectInputFormat(path, readHead(path))) {
    case InputFormat::kPly2Mesh: points = readMeshFile(path, console, faces); break;
    case InputFormat::kPly: points = readPlyFile(path, console, faces); break;
    case InputFormat::kXyz: points = readXyzFile(path, console); break;
    case InputFormat::kOff: points = readOffFile(path, console, faces); break;
    case InputFormat::kObj: points = readObjFile(path, console, faces); break;
    case InputFormat::kStl: {
      // The corners' normals come from the faces, as for the other meshes;
      // the facets' stored normals are not read.
      points = pointsFromMesh(readStlMesh(loadFileBytes(path), path), faces);
      printReadDone(console);
      break;
    }
    case InputFormat::kPointFile: points = readPointFile(path, console); break;
  }
  requireNonZeroNormal(points, path);
  return points;
}

}  // namespace wendfit

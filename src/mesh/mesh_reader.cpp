#include "mesh/mesh_reader.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <utility>
#include <unordered_map>
#include <vector>

#include "core/error.h"
#include "mesh/mesh_writer.h"

namespace wendfit {

namespace {

std::string readWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Error(fileMessage(path, std::string("cannot open (") + std::strerror(errno) + ")"));
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) throw Error(fileMessage(path, "cannot read"));
  return text.str();
}

// Whitespace-separated tokens of a text body, with line numbers for messages.
class Tokens {
 public:
  Tokens(const std::string& path, const std::string& text, size_t start, long line)
      : path_(path), text_(text), pos_(start), line_(line) {}

  bool atEnd() {
    skipSpace();
    return pos_ >= text_.size();
  }
  std::string next(const char* what) {
    if (atEnd()) fail(std::string("the file ends early (expected ") + what + ")");
    size_t begin = pos_;
    while (pos_ < text_.size() && !std::isspace(static_cast<unsigned char>(text_[pos_]))) ++pos_;
    return text_.substr(begin, pos_ - begin);
  }
  double number(const char* what) {
    std::string token = next(what);
    char* end = nullptr;
    double value = std::strtod(token.c_str(), &end);
    if (end == token.c_str() || *end != '\0' || !std::isfinite(value)) {
      fail("\"" + token + "\" is not a finite number (expected " + what + ")");
    }
    return value;
  }
  long integer(const char* what, long low, long high) {
    std::string token = next(what);
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(token.c_str(), &end, 10);
    if (end == token.c_str() || *end != '\0' || errno == ERANGE || value < low || value > high) {
      fail("\"" + token + "\" is not a whole number in " + std::to_string(low) + " ... " +
           std::to_string(high) + " (expected " + what + ")");
    }
    return value;
  }
  [[noreturn]] void fail(const std::string& problem) const { throw Error(fileMessage(path_, line_, problem)); }
  // The rest of the current line, for line-oriented formats.
  std::string restOfLine() {
    size_t end = text_.find('\n', pos_);
    if (end == std::string::npos) end = text_.size();
    std::string rest = text_.substr(pos_, end - pos_);
    pos_ = end;
    return rest;
  }

 private:
  void skipSpace() {
    while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_]))) {
      if (text_[pos_] == '\n') ++line_;
      ++pos_;
    }
  }

  const std::string& path_;
  const std::string& text_;
  size_t pos_;
  long line_;
};

// ---- PLY ----

struct PlyProperty {
  std::string name;
  int size = 0;          // bytes of the scalar (of the index for a list)
  char kind = 'f';       // 'f' float, 'i' signed, 'u' unsigned (of the index for a list)
  int countSize = 0;     // lists: bytes of the count
  char countKind = 'u';
  bool list = false;
};

struct PlyElement {
  std::string name;
  long count = 0;
  std::vector<PlyProperty> properties;
};

bool scalarType(const std::string& type, int* size, char* kind) {
  static const struct { const char* name; int size; char kind; } kTypes[] = {
      {"char", 1, 'i'},  {"int8", 1, 'i'},   {"uchar", 1, 'u'},  {"uint8", 1, 'u'},
      {"short", 2, 'i'}, {"int16", 2, 'i'},  {"ushort", 2, 'u'}, {"uint16", 2, 'u'},
      {"int", 4, 'i'},   {"int32", 4, 'i'},  {"uint", 4, 'u'},   {"uint32", 4, 'u'},
      {"float", 4, 'f'}, {"float32", 4, 'f'}, {"double", 8, 'f'}, {"float64", 8, 'f'}};
  for (const auto& t : kTypes) {
    if (type == t.name) {
      *size = t.size;
      *kind = t.kind;
      return true;
    }
  }
  return false;
}

double decodeScalar(const unsigned char* p, int size, char kind) {
  uint64_t bits = 0;
  for (int b = 0; b < size; ++b) bits |= static_cast<uint64_t>(p[b]) << (8 * b);
  if (kind == 'f') {
    if (size == 4) {
      uint32_t narrow = static_cast<uint32_t>(bits);
      float value;
      std::memcpy(&value, &narrow, sizeof value);
      return value;
    }
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
  }
  if (kind == 'u') return static_cast<double>(bits);
  int shift = 64 - 8 * size;
  return static_cast<double>(static_cast<int64_t>(bits << shift) >> shift);
}

struct PlyHeader {
  bool ascii = false;
  std::vector<PlyElement> elements;
  size_t bodyStart = 0;
  long bodyLine = 0;
};

PlyHeader parsePlyHeader(const std::string& path, const std::string& text) {
  PlyHeader header;
  size_t pos = 0;
  long lineNumber = 0;
  auto fail = [&](const std::string& problem) { throw Error(fileMessage(path, lineNumber, problem)); };
  bool formatSeen = false;
  while (true) {
    ++lineNumber;
    size_t newline = text.find('\n', pos);
    if (newline == std::string::npos) fail("the header has no end_header line");
    std::string line = text.substr(pos, newline - pos);
    pos = newline + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::istringstream words(line);
    std::string keyword;
    words >> keyword;
    if (lineNumber == 1) {
      if (keyword != "ply") fail("not a PLY file (expected \"ply\" on the first line)");
      continue;
    }
    if (keyword == "end_header") break;
    if (keyword == "comment" || keyword == "obj_info" || keyword.empty()) continue;
    if (keyword == "format") {
      std::string format, version;
      words >> format >> version;
      if (format == "ascii") {
        header.ascii = true;
      } else if (format != "binary_little_endian") {
        fail("unsupported format \"" + format + "\" (expected ascii or binary_little_endian)");
      }
      formatSeen = true;
    } else if (keyword == "element") {
      PlyElement element;
      std::string count;
      words >> element.name >> count;
      char* end = nullptr;
      element.count = std::strtol(count.c_str(), &end, 10);
      if (count.empty() || *end != '\0' || element.count < 0 || element.count > INT32_MAX) {
        fail("bad element count \"" + count + "\" (expected a whole number)");
      }
      header.elements.push_back(element);
    } else if (keyword == "property") {
      if (header.elements.empty()) fail("property before any element");
      PlyProperty property;
      std::string type;
      words >> type;
      if (type == "list") {
        std::string countType, indexType;
        words >> countType >> indexType >> property.name;
        property.list = true;
        if (!scalarType(countType, &property.countSize, &property.countKind) ||
            !scalarType(indexType, &property.size, &property.kind) || property.countKind == 'f' ||
            property.kind == 'f') {
          fail("bad list property types (expected integer types, e.g. list uchar int)");
        }
      } else {
        words >> property.name;
        if (!scalarType(type, &property.size, &property.kind)) fail("unknown property type \"" + type + "\"");
      }
      header.elements.back().properties.push_back(property);
    } else {
      fail("unknown header line \"" + keyword + "\"");
    }
  }
  if (!formatSeen) fail("the header has no format line");
  header.bodyStart = pos;
  header.bodyLine = lineNumber + 1;
  return header;
}

// Where x y z and nx ny nz sit among a vertex's properties (-1: absent);
// every other property's index, in file order.
struct VertexLayout {
  int position[3] = {-1, -1, -1};
  int normal[3] = {-1, -1, -1};
  std::vector<int> others;
};

VertexLayout vertexLayout(const std::string& path, const PlyElement& element) {
  VertexLayout layout;
  const char* names[6] = {"x", "y", "z", "nx", "ny", "nz"};
  for (size_t p = 0; p < element.properties.size(); ++p) {
    if (element.properties[p].list) throw Error(fileMessage(path, "vertex lists are not supported"));
    bool known = false;
    for (int k = 0; k < 6; ++k) {
      if (element.properties[p].name != names[k]) continue;
      (k < 3 ? layout.position[k] : layout.normal[k - 3]) = static_cast<int>(p);
      known = true;
    }
    if (!known) layout.others.push_back(static_cast<int>(p));
  }
  if (layout.position[0] < 0 || layout.position[1] < 0 || layout.position[2] < 0) {
    throw Error(fileMessage(path, "the vertices have no x, y and z"));
  }
  return layout;
}

void checkPlyElements(const std::string& path, const PlyHeader& header) {
  if (header.elements.size() != 2 || header.elements[0].name != "vertex" || header.elements[1].name != "face") {
    throw Error(fileMessage(path, "expected exactly the elements vertex and face, in this order"));
  }
  const PlyElement& face = header.elements[1];
  if (face.properties.size() != 1 || !face.properties[0].list) {
    throw Error(fileMessage(path, "a face must have one list property (expected vertex_indices)"));
  }
}

void storeVertex(const std::string& path, long v, const std::vector<double>& values,
                 const VertexLayout& layout, TriangleMesh& mesh, std::vector<VertexProperty>* properties) {
  for (int k = 0; k < 3; ++k) {
    double x = values[layout.position[k]];
    if (!std::isfinite(x)) throw Error(fileMessage(path, "vertex " + std::to_string(v) + " is not finite"));
    mesh.positions.push_back(static_cast<float>(x));
  }
  if (layout.normal[0] >= 0 && layout.normal[1] >= 0 && layout.normal[2] >= 0) {
    for (int k = 0; k < 3; ++k) mesh.normals.push_back(static_cast<float>(values[layout.normal[k]]));
  }
  if (!properties) return;
  for (size_t k = 0; k < layout.others.size(); ++k) {
    (*properties)[k].values.push_back(static_cast<float>(values[layout.others[k]]));
  }
}

void storeFace(const std::string& path, long f, long corners, const double index[3], long vertexCount,
               TriangleMesh& mesh) {
  if (corners != 3) {
    throw Error(fileMessage(path, "face " + std::to_string(f) + " has " + std::to_string(corners) +
                                      " corners (expected 3)"));
  }
  for (int k = 0; k < 3; ++k) {
    if (!(index[k] >= 0 && index[k] < vertexCount)) {
      throw Error(fileMessage(path, "face " + std::to_string(f) + " refers to vertex " +
                                        std::to_string(static_cast<long>(index[k])) + " (expected 0 ... " +
                                        std::to_string(vertexCount - 1) + ")"));
    }
    mesh.triangles.push_back(static_cast<int>(index[k]));
  }
}

TriangleMesh readPly(const std::string& path, const std::string& text, std::vector<VertexProperty>* properties) {
  PlyHeader header = parsePlyHeader(path, text);
  checkPlyElements(path, header);
  const PlyElement& vertices = header.elements[0];
  const PlyProperty& list = header.elements[1].properties[0];
  long faceCount = header.elements[1].count;
  VertexLayout layout = vertexLayout(path, vertices);
  if (properties) {
    for (int index : layout.others) properties->push_back({vertices.properties[index].name, {}});
  }
  TriangleMesh mesh;
  std::vector<double> values(vertices.properties.size());
  if (header.ascii) {
    Tokens tokens(path, text, header.bodyStart, header.bodyLine);
    // A vertex needs at least two characters per property, a face eight.
    if (static_cast<double>(text.size() - header.bodyStart) <
        2.0 * vertices.count * vertices.properties.size() + 8.0 * faceCount) {
      throw Error(fileMessage(path, "the file is too short for the counts in its header"));
    }
    for (long v = 0; v < vertices.count; ++v) {
      for (double& value : values) value = tokens.number("a vertex property");
      storeVertex(path, v, values, layout, mesh, properties);
    }
    for (long f = 0; f < faceCount; ++f) {
      long corners = tokens.integer("a face's corner count", 0, 255);
      double index[3] = {-1, -1, -1};
      for (long k = 0; k < corners; ++k) {
        double i = static_cast<double>(tokens.integer("a vertex index", INT32_MIN, INT32_MAX));
        if (k < 3) index[k] = i;
      }
      storeFace(path, f, corners, index, vertices.count, mesh);
    }
    if (!tokens.atEnd()) tokens.fail("unexpected text after the last face");
    return mesh;
  }
  size_t vertexBytes = 0;
  for (const PlyProperty& p : vertices.properties) vertexBytes += static_cast<size_t>(p.size);
  size_t faceMinimum = static_cast<size_t>(list.countSize);
  size_t available = text.size() - header.bodyStart;
  if (static_cast<double>(vertexBytes) * vertices.count + static_cast<double>(faceMinimum) * faceCount >
      static_cast<double>(available)) {
    throw Error(fileMessage(path, "the file is too short for the counts in its header"));
  }
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data()) + header.bodyStart;
  const unsigned char* end = reinterpret_cast<const unsigned char*>(text.data()) + text.size();
  for (long v = 0; v < vertices.count; ++v) {
    for (size_t k = 0; k < values.size(); ++k) {
      values[k] = decodeScalar(p, vertices.properties[k].size, vertices.properties[k].kind);
      p += vertices.properties[k].size;
    }
    storeVertex(path, v, values, layout, mesh, properties);
  }
  for (long f = 0; f < faceCount; ++f) {
    if (end - p < list.countSize) throw Error(fileMessage(path, "the file ends inside face " + std::to_string(f)));
    long corners = static_cast<long>(decodeScalar(p, list.countSize, list.countKind));
    p += list.countSize;
    if (corners < 0 || end - p < corners * list.size) {
      throw Error(fileMessage(path, "the file ends inside face " + std::to_string(f)));
    }
    double index[3] = {-1, -1, -1};
    for (long k = 0; k < corners; ++k, p += list.size) {
      if (k < 3) index[k] = decodeScalar(p, list.size, list.kind);
    }
    storeFace(path, f, corners, index, vertices.count, mesh);
  }
  if (p != end) throw Error(fileMessage(path, "unexpected bytes after the last face"));
  return mesh;
}

// ---- OBJ and OFF ----

long objIndex(Tokens& tokens, const std::string& ref, long vertexCount) {
  std::string head = ref.substr(0, ref.find('/'));
  char* end = nullptr;
  long index = std::strtol(head.c_str(), &end, 10);
  if (head.empty() || *end != '\0' || index < 1 || index > vertexCount) {
    tokens.fail("bad vertex reference \"" + ref + "\" (expected 1 ... " + std::to_string(vertexCount) + ")");
  }
  return index - 1;
}

TriangleMesh readObj(const std::string& path, const std::string& text) {
  TriangleMesh mesh;
  std::vector<float> normals;
  std::istringstream lines(text);
  std::string line;
  long lineNumber = 0;
  while (std::getline(lines, line)) {
    ++lineNumber;
    Tokens tokens(path, line, 0, lineNumber);
    if (tokens.atEnd()) continue;
    std::string keyword = tokens.next("a keyword");
    if (keyword == "v" || keyword == "vn") {
      std::vector<float>& target = keyword == "v" ? mesh.positions : normals;
      for (int k = 0; k < 3; ++k) target.push_back(static_cast<float>(tokens.number("a coordinate")));
    } else if (keyword == "f") {
      std::vector<long> corners;
      while (!tokens.atEnd()) corners.push_back(objIndex(tokens, tokens.next("a vertex"), mesh.vertexCount()));
      if (corners.size() != 3) tokens.fail("a face with " + std::to_string(corners.size()) + " corners (expected 3)");
      for (long c : corners) mesh.triangles.push_back(static_cast<int>(c));
    } else if (keyword[0] != '#' && keyword != "o" && keyword != "g" && keyword != "s") {
      tokens.fail("unsupported line \"" + keyword + "\" (expected v, vn or f)");
    }
  }
  if (!normals.empty()) {
    if (normals.size() != mesh.positions.size()) {
      throw Error(fileMessage(path, "the file has " + std::to_string(normals.size() / 3) + " normals for " +
                                        std::to_string(mesh.vertexCount()) + " vertices (expected one each)"));
    }
    mesh.normals = std::move(normals);
  }
  return mesh;
}

TriangleMesh readOff(const std::string& path, const std::string& text) {
  Tokens tokens(path, text, 0, 1);
  std::string magic = tokens.next("OFF");
  if (magic != "OFF" && magic != "NOFF") tokens.fail("not an OFF file (expected OFF or NOFF first)");
  bool withNormals = magic == "NOFF";
  long vertexCount = tokens.integer("the vertex count", 0, INT32_MAX);
  long faceCount = tokens.integer("the face count", 0, INT32_MAX);
  tokens.integer("the edge count", 0, INT64_MAX);
  if (static_cast<double>(text.size()) < 6.0 * vertexCount + 8.0 * faceCount) {
    tokens.fail("the file is too short for its counts");
  }
  TriangleMesh mesh;
  for (long v = 0; v < vertexCount; ++v) {
    for (int k = 0; k < 3; ++k) mesh.positions.push_back(static_cast<float>(tokens.number("a coordinate")));
    if (withNormals) {
      for (int k = 0; k < 3; ++k) mesh.normals.push_back(static_cast<float>(tokens.number("a normal")));
    }
  }
  for (long f = 0; f < faceCount; ++f) {
    long corners = tokens.integer("a face's corner count", 0, INT32_MAX);
    if (corners != 3) tokens.fail("a face with " + std::to_string(corners) + " corners (expected 3)");
    for (int k = 0; k < 3; ++k) {
      mesh.triangles.push_back(static_cast<int>(tokens.integer("a vertex index", 0, vertexCount - 1)));
    }
  }
  if (!tokens.atEnd()) tokens.fail("unexpected text after the last face");
  return mesh;
}

// Binary STL. Corners at bit-identical positions become one vertex, in order
// of first appearance, so that the mesh's connectivity can be checked.
TriangleMesh readStl(const std::string& path, const std::string& text) {
  constexpr size_t kHeader = 84;
  constexpr size_t kFacet = 50;
  if (text.size() < kHeader) throw Error(fileMessage(path, "too short for a binary STL header (expected 84 bytes)"));
  uint32_t count = 0;
  for (int k = 3; k >= 0; --k) count = (count << 8) | static_cast<unsigned char>(text[80 + k]);
  if ((text.size() - kHeader) / kFacet != count || (text.size() - kHeader) % kFacet != 0) {
    throw Error(fileMessage(path, "binary STL of " + std::to_string(text.size()) + " bytes for " +
                                      std::to_string(count) + " triangles (expected " +
                                      std::to_string(kHeader + kFacet * static_cast<size_t>(count)) + ")"));
  }
  TriangleMesh mesh;
  std::unordered_map<std::string, int> vertexOf;
  for (size_t t = 0; t < count; ++t) {
    const char* corners = text.data() + kHeader + kFacet * t + 12;
    for (int k = 0; k < 3; ++k) {
      const std::string key(corners + 12 * k, 12);
      auto [slot, added] = vertexOf.emplace(key, static_cast<int>(vertexOf.size()));
      if (added) {
        for (int c = 0; c < 3; ++c) {
          uint32_t bits = 0;
          for (int b = 3; b >= 0; --b) bits = (bits << 8) | static_cast<unsigned char>(key[4 * c + b]);
          float value;
          std::memcpy(&value, &bits, sizeof value);
          if (!std::isfinite(value)) {
            throw Error(fileMessage(path, "triangle " + std::to_string(t) + " has a non-finite corner (expected finite coordinates)"));
          }
          mesh.positions.push_back(value);
        }
      }
      mesh.triangles.push_back(slot->second);
    }
  }
  return mesh;
}

}  // namespace

TriangleMesh readMesh(const std::string& path, std::vector<VertexProperty>* properties) {
  if (properties) properties->clear();
  MeshFormat format = meshFormatFor(path, false);
  std::string text = readWhole(path);
  switch (format) {
    case MeshFormat::Obj:
      return readObj(path, text);
    case MeshFormat::Off:
      return readOff(path, text);
    case MeshFormat::Stl:
      return readStl(path, text);
    default:
      return readPly(path, text, properties);
  }
}

TriangleMesh readMesh(const std::string& path, std::vector<float>* quality) {
  if (!quality) return readMesh(path, static_cast<std::vector<VertexProperty>*>(nullptr));
  quality->clear();
  std::vector<VertexProperty> properties;
  TriangleMesh mesh = readMesh(path, &properties);
  for (VertexProperty& property : properties) {
    if (property.name == "quality") *quality = std::move(property.values);
  }
  return mesh;
}

}  // namespace wendfit

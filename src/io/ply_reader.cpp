// PLY input. The header is parsed into elements and typed properties; the
// body is then walked element by element with one walker for all three
// encodings, so ascii and binary files take the same decisions. Binary values
// are decoded with memcpy and a byte swap when the file's byte order is not
// the machine's; every declared count is checked against the bytes that
// actually follow before anything is allocated.

#include "io/ply_reader.h"

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstring>
#include <vector>

#include "core/error.h"
#include "io/format_support.h"
#include "core/line_cursor.h"

namespace wendfit {

namespace {

enum class PlyType : unsigned char { kInt8, kUInt8, kInt16, kUInt16, kInt32, kUInt32, kFloat32, kFloat64 };

struct TypeName {
  const char* name;
  PlyType type;
};

constexpr TypeName kTypeNames[] = {
    {"char", PlyType::kInt8},     {"int8", PlyType::kInt8},       {"uchar", PlyType::kUInt8},
    {"uint8", PlyType::kUInt8},   {"short", PlyType::kInt16},     {"int16", PlyType::kInt16},
    {"ushort", PlyType::kUInt16}, {"uint16", PlyType::kUInt16},   {"int", PlyType::kInt32},
    {"int32", PlyType::kInt32},   {"uint", PlyType::kUInt32},     {"uint32", PlyType::kUInt32},
    {"float", PlyType::kFloat32}, {"float32", PlyType::kFloat32}, {"double", PlyType::kFloat64},
    {"float64", PlyType::kFloat64}};

size_t typeSize(PlyType type) {
  switch (type) {
    case PlyType::kInt8:
    case PlyType::kUInt8:
      return 1;
    case PlyType::kInt16:
    case PlyType::kUInt16:
      return 2;
    case PlyType::kInt32:
    case PlyType::kUInt32:
    case PlyType::kFloat32:
      return 4;
    case PlyType::kFloat64:
      break;
  }
  return 8;
}

bool isIntegerType(PlyType type) { return type != PlyType::kFloat32 && type != PlyType::kFloat64; }

struct PlyProperty {
  std::string name;
  PlyType type = PlyType::kFloat32;  // of the values (the indices of a list)
  bool isList = false;
  PlyType countType = PlyType::kUInt8;
};

struct PlyElement {
  std::string name;
  unsigned long long count = 0;
  std::vector<PlyProperty> properties;
  long line = 0;  // header line that declares the element
};

enum class PlyFormat { kAscii, kBinaryLittleEndian, kBinaryBigEndian };

struct PlyHeader {
  PlyFormat format = PlyFormat::kAscii;
  std::vector<PlyElement> elements;
  size_t dataStart = 0;  // first byte after the end_header line
  long dataLine = 0;     // line number of that byte, for ascii messages
};

constexpr const char* kKnownTypes =
    "char, uchar, short, ushort, int, uint, float, double, or int8 ... float64";

// ---- header

std::vector<std::string_view> splitWords(std::string_view line) {
  std::vector<std::string_view> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
    size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') ++i;
    if (i > start) words.push_back(line.substr(start, i - start));
  }
  return words;
}

PlyType parseType(std::string_view word, std::string_view property, const std::string& name, long line) {
  for (const TypeName& entry : kTypeNames) {
    if (word == entry.name) return entry.type;
  }
  throw Error(fileMessage(name, line,
                          "unknown scalar type " + quotedToken(word) + " of property " +
                              quotedToken(property) + " (expected " + kKnownTypes + ")"));
}

PlyProperty parseProperty(const std::vector<std::string_view>& words, const std::string& name, long line) {
  PlyProperty property;
  if (words.size() == 5 && words[1] == "list") {
    property.isList = true;
    property.name = std::string(words[4]);
    property.countType = parseType(words[2], words[4], name, line);
    property.type = parseType(words[3], words[4], name, line);
    if (!isIntegerType(property.countType)) {
      throw Error(fileMessage(name, line, "list " + quotedToken(words[4]) + " has a count of type " +
                                              quotedToken(words[2]) + " (expected an integer type)"));
    }
  } else if (words.size() == 3 && words[1] != "list") {
    property.name = std::string(words[2]);
    property.type = parseType(words[1], words[2], name, line);
  } else {
    throw Error(fileMessage(name, line, "malformed property line (expected 'property <type> <name>' or "
                                        "'property list <count type> <index type> <name>')"));
  }
  return property;
}

void parseHeaderLine(const std::vector<std::string_view>& words, PlyHeader& header, bool& haveFormat,
                     const std::string& name, long line) {
  std::string_view keyword = words[0];
  if (keyword == "comment" || keyword == "obj_info") return;
  if (keyword == "format") {
    if (words.size() < 2) throw Error(fileMessage(name, line, "format line without a format (expected ascii, "
                                                              "binary_little_endian or binary_big_endian)"));
    if (words[1] == "ascii") {
      header.format = PlyFormat::kAscii;
    } else if (words[1] == "binary_little_endian") {
      header.format = PlyFormat::kBinaryLittleEndian;
    } else if (words[1] == "binary_big_endian") {
      header.format = PlyFormat::kBinaryBigEndian;
    } else {
      throw Error(fileMessage(name, line, "unknown format " + quotedToken(words[1]) +
                                              " (expected ascii, binary_little_endian or binary_big_endian)"));
    }
    haveFormat = true;
  } else if (keyword == "element") {
    long long count = -1;
    if (words.size() != 3 || !parseDecimalInt(words[2], &count) || count < 0) {
      throw Error(fileMessage(name, line, "malformed element line (expected 'element <name> <count>' with a "
                                          "count of 0 or more)"));
    }
    header.elements.push_back({std::string(words[1]), static_cast<unsigned long long>(count), {}, line});
  } else if (keyword == "property") {
    if (header.elements.empty()) {
      throw Error(fileMessage(name, line, "property before any element (expected an element line first)"));
    }
    header.elements.back().properties.push_back(parseProperty(words, name, line));
  } else {
    throw Error(fileMessage(name, line, "unknown header line " + quotedToken(keyword) +
                                            " (expected format, element, property, comment or end_header)"));
  }
}

PlyHeader parseHeader(std::string_view data, const std::string& name) {
  if (data.empty()) throw Error(fileMessage(name, "the file is empty (expected a PLY header)"));
  PlyHeader header;
  bool haveFormat = false;
  size_t pos = 0;
  for (long line = 1;; ++line) {
    size_t end = data.find('\n', pos);
    if (end == std::string_view::npos) {
      throw Error(fileMessage(name, line, "the header has no end_header line (expected a complete PLY header)"));
    }
    std::vector<std::string_view> words = splitWords(data.substr(pos, end - pos));
    pos = end + 1;
    if (line == 1) {
      if (words.size() != 1 || words[0] != "ply") {
        throw Error(fileMessage(name, 1, "not a PLY file (expected the first line 'ply')"));
      }
      continue;
    }
    if (words.empty()) continue;
    if (words[0] == "end_header") {
      if (!haveFormat) throw Error(fileMessage(name, line, "the header has no format line (expected "
                                                           "'format ascii 1.0' or a binary format)"));
      header.dataStart = pos;
      header.dataLine = line + 1;
      return header;
    }
    parseHeaderLine(words, header, haveFormat, name, line);
  }
}

// ---- what the reader takes from the elements

constexpr const char* kSlotNames[6] = {"x", "y", "z", "nx", "ny", "nz"};

// Vertex properties beyond x..nz that are kept (ReadPurpose::kMesh) have
// slots from kFirstExtraSlot on, in file order.
constexpr int kFirstExtraSlot = 6;

struct ReadPlan {
  ReadPurpose purpose = ReadPurpose::kPoints;
  const PlyElement* vertex = nullptr;
  std::vector<int> slots;  // per vertex property: 0..5 for x..nz, extras from 6, -1 skipped
  int extraCount = 0;
  bool hasNormals = false;
  const PlyElement* face = nullptr;  // when the faces are read
  size_t faceList = 0;               // index of vertex_indices in face
};

ReadPlan planRead(const PlyHeader& header, const std::string& name, ReadPurpose purpose) {
  ReadPlan plan;
  plan.purpose = purpose;
  for (const PlyElement& element : header.elements) {
    if (element.name == "vertex" && !plan.vertex) plan.vertex = &element;
    if (element.name == "face" && !plan.face) plan.face = &element;
  }
  if (!plan.vertex) throw Error(fileMessage(name, "no vertex element (expected 'element vertex <count>')"));
  const PlyElement& vertex = *plan.vertex;
  int found[6] = {0, 0, 0, 0, 0, 0};
  for (const PlyProperty& property : vertex.properties) {
    int slot = -1;
    for (int k = 0; k < 6; ++k) {
      if (property.name == kSlotNames[k]) slot = k;
    }
    if (slot >= 0 && (property.isList || found[slot]++ > 0)) {
      throw Error(fileMessage(name, vertex.line, "vertex property " + quotedToken(property.name) +
                                                     " is a list or appears twice (expected one scalar)"));
    }
    if (slot < 0 && !property.isList && purpose == ReadPurpose::kMesh) slot = kFirstExtraSlot + plan.extraCount++;
    plan.slots.push_back(slot);
  }
  for (int k = 0; k < 3; ++k) {
    if (!found[k]) {
      throw Error(fileMessage(name, vertex.line, std::string("the vertex element has no property '") +
                                                     kSlotNames[k] + "' (expected properties x, y and z)"));
    }
  }
  const int normalCount = found[3] + found[4] + found[5];
  if (normalCount != 0 && normalCount != 3) {
    throw Error(fileMessage(name, vertex.line, "the vertex element has only some of nx, ny, nz (expected "
                                               "all three or none)"));
  }
  plan.hasNormals = normalCount == 3;
  if (purpose == ReadPurpose::kMesh) {
    if (!plan.face) return plan;
  } else if (plan.hasNormals) {
    plan.face = nullptr;  // the file's normals win; faces are skipped like any extra element
    return plan;
  } else if (!plan.face || plan.face->count == 0) {
    // An empty face element estimates no normal either.
    throw Error(fileMessage(name, "no normals (the file has no nx ny nz properties and no faces; expected "
                                  "vertex properties nx, ny, nz, or faces to estimate normals from)"));
  }
  const std::vector<PlyProperty>& faceProperties = plan.face->properties;
  auto list = std::find_if(faceProperties.begin(), faceProperties.end(), [](const PlyProperty& p) {
    return p.isList && (p.name == "vertex_indices" || p.name == "vertex_index");
  });
  if (list == faceProperties.end()) {
    throw Error(fileMessage(name, plan.face->line, "the face element has no list vertex_indices (expected "
                                                   "'property list <count type> <index type> vertex_indices')"));
  }
  if (!isIntegerType(list->type)) {
    throw Error(fileMessage(name, plan.face->line, "vertex_indices holds non-integer values (expected an "
                                                   "integer index type)"));
  }
  plan.faceList = static_cast<size_t>(list - faceProperties.begin());
  return plan;
}

// Counts beyond what the body could hold are refused here, before any
// allocation: a binary record takes at least its scalars and list counts, an
// ascii value at least one character and one separator.
void checkCounts(const PlyHeader& header, const ReadPlan& plan, size_t bodyBytes, const std::string& name) {
  if (plan.vertex->count == 0 && plan.purpose == ReadPurpose::kPoints) {
    throw Error(fileMessage(name, plan.vertex->line, "the vertex element is empty (expected at least one vertex)"));
  }
  if (plan.vertex->count > static_cast<unsigned long long>(INT_MAX) ||
      (plan.face && plan.face->count > static_cast<unsigned long long>(INT_MAX))) {
    throw Error(fileMessage(name, "more elements than this tool can hold (expected at most " +
                                      std::to_string(INT_MAX) + " vertices and faces)"));
  }
  const bool ascii = header.format == PlyFormat::kAscii;
  unsigned long long left = ascii ? bodyBytes + 1 : bodyBytes;
  for (const PlyElement& element : header.elements) {
    unsigned long long recordBytes = 0;
    for (const PlyProperty& property : element.properties) {
      recordBytes += ascii ? 2 : typeSize(property.isList ? property.countType : property.type);
    }
    if (recordBytes != 0 && element.count > left / recordBytes) {
      throw Error(fileMessage(name, element.line,
                              "the header declares " + std::to_string(element.count) + " " + element.name +
                                  " records, more than the " + std::to_string(bodyBytes) +
                                  " bytes of data can hold (expected a complete file: it is truncated "
                                  "or its header is wrong)"));
    }
    left -= element.count * recordBytes;
  }
}

// ---- the two encodings

// Context for messages: which record of which element is being read.
struct RecordPlace {
  const PlyElement* element = nullptr;
  unsigned long long index = 0;
  std::string describe() const {
    return element->name + " " + std::to_string(index) + " of " + std::to_string(element->count);
  }
};

class BinaryRecords {
 public:
  BinaryRecords(std::string_view body, bool bigEndian, const std::string& name)
      : data_(reinterpret_cast<const unsigned char*>(body.data())), size_(body.size()), name_(name) {
    swap_ = bigEndian != (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__);
  }
  RecordPlace place;

  double scalar(PlyType type) {
    const size_t bytes = typeSize(type);
    if (size_ - pos_ < bytes) truncated();
    unsigned char b[8];
    std::memcpy(b, data_ + pos_, bytes);
    pos_ += bytes;
    if (swap_) std::reverse(b, b + bytes);
    switch (type) {
      case PlyType::kInt8: return load<signed char>(b);
      case PlyType::kUInt8: return load<unsigned char>(b);
      case PlyType::kInt16: return load<short>(b);
      case PlyType::kUInt16: return load<unsigned short>(b);
      case PlyType::kInt32: return load<int>(b);
      case PlyType::kUInt32: return load<unsigned>(b);
      case PlyType::kFloat32: return load<float>(b);
      case PlyType::kFloat64: break;
    }
    return load<double>(b);
  }

  void skipScalars(PlyType type, unsigned long long n) {
    if (n > (size_ - pos_) / typeSize(type)) truncated();
    pos_ += n * typeSize(type);
  }

  // Records without lists have one size: the whole element is skipped at once.
  bool skipElement(const PlyElement& element) {
    unsigned long long recordBytes = 0;
    for (const PlyProperty& property : element.properties) {
      if (property.isList) return false;
      recordBytes += typeSize(property.type);
    }
    place = {&element, 0};
    if (recordBytes != 0 && element.count > (size_ - pos_) / recordBytes) truncated();
    pos_ += element.count * recordBytes;
    return true;
  }

  [[noreturn]] void fail(const std::string& problem) const {
    throw Error(fileMessage(name_, place.describe() + ": " + problem));
  }

 private:
  template <class T>
  static double load(const unsigned char* b) {
    T value;
    std::memcpy(&value, b, sizeof value);
    return static_cast<double>(value);
  }
  [[noreturn]] void truncated() const {
    throw Error(fileMessage(name_, "the data ends inside " + place.describe() +
                                       " (expected more bytes; the file is truncated)"));
  }

  const unsigned char* data_;
  size_t size_;
  size_t pos_ = 0;
  bool swap_ = false;
  const std::string& name_;
};

class AsciiRecords {
 public:
  AsciiRecords(std::string_view body, const std::string& name, long firstLine) : cursor_(body, name, firstLine) {}
  RecordPlace place;

  double scalar(PlyType type) {
    std::string_view token = cursor_.anyToken();
    if (token.empty()) fail("the file ends early (expected " + std::to_string(place.element->count) + " records)");
    if (isIntegerType(type)) return integer(token, type);
    NumberStatus status;
    double value = 0.0;
    if (type == PlyType::kFloat32) {
      float narrow = 0.0f;
      status = parseDecimalFloat(token, &narrow);
      value = narrow;
    } else {
      status = parseDecimalDouble(token, &value);
    }
    if (status == NumberStatus::kMalformed) fail("malformed number " + quotedToken(token));
    if (status == NumberStatus::kOutOfRange) fail("number " + quotedToken(token) + " is out of range");
    return value;  // non-finite values matter only where they are used
  }

  void skipScalars(PlyType type, unsigned long long n) {
    for (unsigned long long k = 0; k < n; ++k) scalar(type);
  }

  bool skipElement(const PlyElement&) { return false; }

  [[noreturn]] void fail(const std::string& problem) const {
    cursor_.fail(place.describe() + ": " + problem);
  }

 private:
  double integer(std::string_view token, PlyType type) {
    long long value = 0;
    if (!parseDecimalInt(token, &value)) fail("malformed integer " + quotedToken(token));
    static constexpr long long kLimits[6][2] = {{-128, 127}, {0, 255}, {-32768, 32767}, {0, 65535},
                                                {INT_MIN, INT_MAX}, {0, 4294967295ll}};
    const long long* range = kLimits[static_cast<int>(type)];
    if (value < range[0] || value > range[1]) fail("integer " + quotedToken(token) + " does not fit its type");
    return static_cast<double>(value);
  }

  LineCursor cursor_;
};

// ---- the walker, shared by both encodings

template <class Records>
unsigned long long listCount(Records& records, const PlyProperty& property) {
  const double count = records.scalar(property.countType);
  if (count < 0) records.fail("negative list length " + std::to_string(static_cast<long long>(count)));
  return static_cast<unsigned long long>(count);
}

template <class Records>
void skipProperty(Records& records, const PlyProperty& property) {
  if (property.isList) {
    records.skipScalars(property.type, listCount(records, property));
  } else {
    records.skipScalars(property.type, 1);
  }
}

template <class Records>
void skipElement(Records& records, const PlyElement& element) {
  if (element.properties.empty() || records.skipElement(element)) return;
  for (unsigned long long i = 0; i < element.count; ++i) {
    records.place = {&element, i};
    for (const PlyProperty& property : element.properties) skipProperty(records, property);
  }
}

template <class Records>
float toFloat(Records& records, double value, int slot) {
  if (!std::isfinite(value)) {
    records.fail(std::string("non-finite ") + kSlotNames[slot] + " (expected finite coordinates and normals)");
  }
  if (std::fabs(value) > FLT_MAX) {
    char text[128];
    std::snprintf(text, sizeof text, "%s = %.9g is beyond the float range (expected at most %.9g)",
                  kSlotNames[slot], value, static_cast<double>(FLT_MAX));
    records.fail(text);
  }
  return static_cast<float>(value);
}

template <class Records>
void readVertices(Records& records, const ReadPlan& plan, MeshData& mesh, std::FILE* console) {
  const PlyElement& element = *plan.vertex;
  const int slotCount = plan.hasNormals ? 6 : 3;
  const int count = static_cast<int>(element.count);
  std::vector<double> value(kFirstExtraSlot + plan.extraCount, 0.0);
  mesh.positions.resize(3 * static_cast<size_t>(count));
  if (plan.hasNormals) mesh.normals.resize(3 * static_cast<size_t>(count));
  for (VertexProperty& extra : mesh.properties) extra.values.resize(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    records.place = {&element, static_cast<unsigned long long>(i)};
    for (size_t p = 0; p < element.properties.size(); ++p) {
      const PlyProperty& property = element.properties[p];
      if (plan.slots[p] >= 0) {
        value[plan.slots[p]] = records.scalar(property.type);
      } else {
        skipProperty(records, property);
      }
    }
    const size_t at = 3 * static_cast<size_t>(i);
    for (int k = 0; k < slotCount; ++k) (k < 3 ? mesh.positions : mesh.normals)[at + k % 3] = toFloat(records, value[k], k);
    for (int k = 0; k < plan.extraCount; ++k) {
      mesh.properties[k].values[i] = static_cast<float>(value[kFirstExtraSlot + k]);
    }
    printPointProgress(console, i);
  }
}

template <class Records>
void readFaces(Records& records, const ReadPlan& plan, int vertexCount, FaceList& faces,
               const std::string& name) {
  const PlyElement& element = *plan.face;
  for (unsigned long long f = 0; f < element.count; ++f) {
    records.place = {&element, f};
    for (size_t p = 0; p < element.properties.size(); ++p) {
      const PlyProperty& property = element.properties[p];
      if (p != plan.faceList) {
        skipProperty(records, property);
        continue;
      }
      const unsigned long long k = listCount(records, property);
      if (k < 3) records.fail("a face of " + std::to_string(k) + " vertices (expected at least 3)");
      for (unsigned long long j = 0; j < k; ++j) {
        const double index = records.scalar(property.type);
        if (index < 0 || index >= vertexCount) {
          records.fail("vertex index " + std::to_string(static_cast<long long>(index)) +
                       " is out of range (expected 0.." + std::to_string(vertexCount - 1) + ")");
        }
        faces.indices.push_back(static_cast<int>(index));
      }
      faces.closeFace(name);
    }
  }
}

template <class Records>
void readBody(Records& records, const PlyHeader& header, const ReadPlan& plan, MeshData& mesh,
              std::FILE* console, const std::string& name) {
  for (const PlyElement& element : header.elements) {
    if (&element == plan.vertex) {
      readVertices(records, plan, mesh, console);
    } else if (&element == plan.face) {
      readFaces(records, plan, static_cast<int>(plan.vertex->count), mesh.faces, name);
    } else {
      skipElement(records, element);
    }
  }
}

}  // namespace

MeshData readPlyMesh(std::string_view data, const std::string& name, ReadPurpose purpose, std::FILE* console) {
  const PlyHeader header = parseHeader(data, name);
  const ReadPlan plan = planRead(header, name, purpose);
  const std::string_view body = data.substr(header.dataStart);
  checkCounts(header, plan, body.size(), name);

  const bool mesh = plan.face != nullptr;
  printReadStart(console, mesh, static_cast<int>(plan.vertex->count), mesh ? static_cast<int>(plan.face->count) : 0);
  MeshData result;
  for (size_t p = 0; p < plan.slots.size(); ++p) {
    if (plan.slots[p] >= kFirstExtraSlot) result.properties.push_back({plan.vertex->properties[p].name, {}});
  }
  if (header.format == PlyFormat::kAscii) {
    AsciiRecords records(body, name, header.dataLine);
    readBody(records, header, plan, result, console, name);
  } else {
    BinaryRecords records(body, header.format == PlyFormat::kBinaryBigEndian, name);
    readBody(records, header, plan, result, console, name);
  }
  return result;
}

PointSet readPlyFile(const std::string& path, std::FILE* console, FaceList* faces) {
  return readPointsWith(readPlyMesh, loadFileBytes(path), path, console, faces);
}

PointSet readPlyData(std::string_view data, const std::string& name, std::FILE* console) {
  return readPointsWith(readPlyMesh, data, name, console, nullptr);
}

PointSet readPlyFile(const std::string& path, std::FILE* console) {
  return readPlyFile(path, console, nullptr);
}

}  // namespace wendfit

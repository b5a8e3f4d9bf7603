#pragma once
// The choice of reader for an input file, and the checks every input passes
// before it is fitted.
//
// A name containing ".ply2" is a .ply2 mesh, as the tool always had it.
// Otherwise the content decides where it can: a file whose first line is
// "ply" is a PLY file. Then the name: .ply (a PLY file that lacks its first
// line is reported as such, not read as something else), .xyz, .xyzn, .pwn
// and .npts point lists, .off and .obj meshes (suffixes in any letter case).
// Everything else is the tool's own oriented point file.

#include <cstdio>
#include <string>
#include <string_view>

#include "core/point_set.h"
#include "io/format_support.h"

namespace wendfit {

enum class InputFormat { kPly2Mesh, kPly, kXyz, kOff, kObj, kStl, kPointFile };

// The format for a file named `path` whose first bytes are `head` (any
// prefix of the file, empty when it could not be read).
InputFormat detectInputFormat(const std::string& path, std::string_view head);

// A short name of the format for messages ("PLY", "OFF mesh", ...).
const char* inputFormatName(InputFormat format);

// Reads `path` with the reader its name and content select (see above),
// printing that reader's messages on `console` (nullptr: silent). Normals are
// as each format defines them: the tool's own point file is stored negated,
// every other format as read. Throws Error naming the file when it cannot be
// read, is malformed, or has no normal of non-zero length (nothing to fit).
// `faces`, when given, receives the faces of a mesh input (none for points).
PointSet readAnyInput(const std::string& path, std::FILE* console = nullptr, FaceList* faces = nullptr);

}  // namespace wendfit

#pragma once
// Checks on the files a run will write, made before any work starts, so that
// a missing folder or a name that would overwrite the input is reported in
// a moment rather than after the fit.

#include <string>

namespace wendfit {

// Throws Error naming `path` when OutputFile could not write it later: the
// name is an existing directory, or the folder that will receive the
// temporary file (that of the file a symbolic link points to) does not exist
// or is not writable. Existing devices and pipes are written in place and
// pass.
void requireWritableTarget(const std::string& path);

// Whether `a` and `b` name the same regular file: the same device and inode
// when both exist (other paths, hard and symbolic links included), the same
// resolved path when neither exists yet. Devices and pipes never count.
bool sameFile(const std::string& a, const std::string& b);

}  // namespace wendfit

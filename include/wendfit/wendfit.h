#pragma once
// The wendfit library: fit an implicit function to oriented points, evaluate
// it, extract its zero set as a mesh, and read and write result files and
// meshes. Everything is in namespace wendfit and throws wendfit::Error.

#include <wendfit/error.h>
#include <wendfit/fit.h>
#include <wendfit/function.h>
#include <wendfit/mesh.h>

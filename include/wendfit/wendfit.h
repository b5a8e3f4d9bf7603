#pragma once
// The wendfit library: fit an implicit function to oriented points, evaluate
// it, extract its zero set as a mesh, and read and write result files and
// meshes; and the command-line tools as functions (tools.h). Everything is
// in namespace wendfit and throws wendfit::Error, except the tools, which
// report on standard error and return an exit status.

#include <wendfit/error.h>
#include <wendfit/fit.h>
#include <wendfit/function.h>
#include <wendfit/mesh.h>
#include <wendfit/tools.h>

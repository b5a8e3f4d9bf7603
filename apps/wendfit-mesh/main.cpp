// The wendfit-mesh program. Its whole behaviour is the library's runMeshTool, so
// that the program uses only the public API (include/wendfit/).

#include <string>
#include <vector>

#include <wendfit/tools.h>

int main(int argc, char** argv) { return wendfit::runMeshTool(std::vector<std::string>(argv + 1, argv + argc)); }

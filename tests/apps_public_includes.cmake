# The tools' programs use the library only through its public headers, as
# any other program must: every include in apps/ is <wendfit/...>, a
# standard header (<name>, no directory) or a system one (<sys/name.h>).
# Fails naming each offending line.
# Argument: APPS_DIR (the directory to check).
file(GLOB_RECURSE sources ${APPS_DIR}/*.cpp ${APPS_DIR}/*.h ${APPS_DIR}/*.hpp)
if(NOT sources)
  message(FATAL_ERROR "no sources under ${APPS_DIR}")
endif()
set(offending "")
foreach(source IN LISTS sources)
  file(STRINGS ${source} includes REGEX "^[ \t]*#[ \t]*include")
  foreach(line IN LISTS includes)
    if(NOT line MATCHES "^[ \t]*#[ \t]*include[ \t]*<(wendfit/[A-Za-z0-9_]+\\.h|sys/[a-z0-9_]+\\.h|[A-Za-z0-9_.]+)>")
      string(APPEND offending "\n  ${source}: ${line}")
    endif()
  endforeach()
endforeach()
if(offending)
  message(FATAL_ERROR "apps/ includes headers outside the public API (include/wendfit/):${offending}")
endif()
list(LENGTH sources count)
message(STATUS "${count} sources in ${APPS_DIR} include only public headers")

# SimSIMD's C headers come from its source distribution at a pinned version. They are
# fetched at configure time when missing, so a plain `pip install .` works too: pip itself is
# a build requirement (pyproject.toml) because an isolated build environment has no pip.
set(TAMIX_SIMSIMD_VERSION 6.5.16)

# .deps/ in the source tree survives build directories and reinstalls; a source tree we cannot
# write to (a shared or read-only checkout) keeps them in the build tree instead.
set(tamix_default_deps ${CMAKE_CURRENT_SOURCE_DIR}/.deps)
if(NOT EXISTS ${tamix_default_deps}/simsimd-${TAMIX_SIMSIMD_VERSION}/include/simsimd/simsimd.h)
  execute_process(COMMAND ${CMAKE_COMMAND} -E make_directory ${tamix_default_deps}/.probe
                  RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET)
  if(rc EQUAL 0)
    file(REMOVE_RECURSE ${tamix_default_deps}/.probe)
  else()
    set(tamix_default_deps ${CMAKE_BINARY_DIR}/_deps)
  endif()
endif()
set(TAMIX_DEPS_DIR ${tamix_default_deps} CACHE PATH "Where fetched dependencies live")
set(simsimd_root ${TAMIX_DEPS_DIR}/simsimd-${TAMIX_SIMSIMD_VERSION})

if(NOT EXISTS ${simsimd_root}/include/simsimd/simsimd.h)
  find_package(Python 3 REQUIRED COMPONENTS Interpreter)
  message(STATUS "Fetching simsimd ${TAMIX_SIMSIMD_VERSION} source distribution")
  # Unpacked beside the target and renamed into place, so an interrupted fetch or a
  # concurrent configure never leaves a half-extracted tree that looks complete.
  string(RANDOM LENGTH 8 tag)
  set(staging ${TAMIX_DEPS_DIR}/.fetch-${tag})
  file(MAKE_DIRECTORY ${staging})
  execute_process(
    COMMAND ${Python_EXECUTABLE} -m pip download --disable-pip-version-check --no-deps
            --no-binary :all: simsimd==${TAMIX_SIMSIMD_VERSION} -d ${staging}
    RESULT_VARIABLE rc)
  set(archive ${staging}/simsimd-${TAMIX_SIMSIMD_VERSION}.tar.gz)
  if(NOT rc EQUAL 0 OR NOT EXISTS ${archive})
    file(REMOVE_RECURSE ${staging})
    message(FATAL_ERROR "Could not download the simsimd ${TAMIX_SIMSIMD_VERSION} source "
                        "distribution with ${Python_EXECUTABLE} -m pip; pass "
                        "-DTAMIX_DEPS_DIR=<dir> holding simsimd-${TAMIX_SIMSIMD_VERSION}/")
  endif()
  file(ARCHIVE_EXTRACT INPUT ${archive} DESTINATION ${staging})
  execute_process(COMMAND ${CMAKE_COMMAND} -E rename ${staging}/simsimd-${TAMIX_SIMSIMD_VERSION}
                          ${simsimd_root} OUTPUT_QUIET ERROR_QUIET)
  file(REMOVE_RECURSE ${staging})
  if(NOT EXISTS ${simsimd_root}/include/simsimd/simsimd.h)
    message(FATAL_ERROR "The simsimd ${TAMIX_SIMSIMD_VERSION} source distribution has no "
                        "include/simsimd/simsimd.h")
  endif()
endif()

add_library(simsimd_headers INTERFACE)
target_include_directories(simsimd_headers SYSTEM INTERFACE ${simsimd_root}/include)

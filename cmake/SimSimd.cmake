# SimSIMD's C headers come from its source distribution at a pinned version. They are
# fetched into .deps/ at configure time when missing, so a plain `pip install .` works too.
set(TAMIX_SIMSIMD_VERSION 6.5.16)
set(TAMIX_DEPS_DIR ${CMAKE_CURRENT_SOURCE_DIR}/.deps CACHE PATH "Where fetched dependencies live")
set(simsimd_root ${TAMIX_DEPS_DIR}/simsimd-${TAMIX_SIMSIMD_VERSION})

if(NOT EXISTS ${simsimd_root}/include/simsimd/simsimd.h)
  find_package(Python 3 REQUIRED COMPONENTS Interpreter)
  file(MAKE_DIRECTORY ${TAMIX_DEPS_DIR})
  message(STATUS "Fetching simsimd ${TAMIX_SIMSIMD_VERSION} source distribution")
  execute_process(
    COMMAND ${Python_EXECUTABLE} -m pip download --no-deps --no-binary :all:
            simsimd==${TAMIX_SIMSIMD_VERSION} -d ${TAMIX_DEPS_DIR}
    RESULT_VARIABLE rc)
  set(archive ${TAMIX_DEPS_DIR}/simsimd-${TAMIX_SIMSIMD_VERSION}.tar.gz)
  if(NOT rc EQUAL 0 OR NOT EXISTS ${archive})
    message(FATAL_ERROR "Could not download the simsimd ${TAMIX_SIMSIMD_VERSION} source distribution")
  endif()
  file(ARCHIVE_EXTRACT INPUT ${archive} DESTINATION ${TAMIX_DEPS_DIR})
endif()

add_library(simsimd_headers INTERFACE)
target_include_directories(simsimd_headers SYSTEM INTERFACE ${simsimd_root}/include)

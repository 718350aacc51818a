# USearch is header-only. The headers of one pinned release come from the npm registry's
# `usearch` package and are unpacked into a cache outside the source tree; nothing of them is
# committed. TESSARADB_USEARCH_DIR may point at an already unpacked copy.
set(TESSARADB_USEARCH_VERSION "2.21.4")
if(DEFINED ENV{XDG_CACHE_HOME} AND NOT "$ENV{XDG_CACHE_HOME}" STREQUAL "")
  set(_tessaradb_cache "$ENV{XDG_CACHE_HOME}/tessaradb")
else()
  set(_tessaradb_cache "$ENV{HOME}/.cache/tessaradb")
endif()
set(TESSARADB_USEARCH_DIR "${_tessaradb_cache}/usearch-${TESSARADB_USEARCH_VERSION}"
    CACHE PATH "Unpacked USearch headers (include/usearch, include/simsimd, include/fp16)")

if(NOT EXISTS "${TESSARADB_USEARCH_DIR}/include/usearch/index_dense.hpp")
  find_program(NPM_EXECUTABLE npm REQUIRED)
  set(_work "${_tessaradb_cache}/usearch-download-${TESSARADB_USEARCH_VERSION}")
  file(REMOVE_RECURSE "${_work}")
  file(MAKE_DIRECTORY "${_work}")
  message(STATUS "Fetching usearch@${TESSARADB_USEARCH_VERSION} headers from the npm registry")
  execute_process(
    COMMAND "${NPM_EXECUTABLE}" pack "usearch@${TESSARADB_USEARCH_VERSION}" --silent
    WORKING_DIRECTORY "${_work}"
    RESULT_VARIABLE _npm_result
    OUTPUT_VARIABLE _npm_out
    ERROR_VARIABLE _npm_err)
  if(NOT _npm_result EQUAL 0)
    message(FATAL_ERROR "npm pack usearch@${TESSARADB_USEARCH_VERSION} failed: ${_npm_err}")
  endif()
  file(ARCHIVE_EXTRACT INPUT "${_work}/usearch-${TESSARADB_USEARCH_VERSION}.tgz" DESTINATION "${_work}")
  # Assemble in a temporary folder and rename, so an interrupted fetch never looks complete.
  set(_staging "${TESSARADB_USEARCH_DIR}.staging")
  file(REMOVE_RECURSE "${_staging}")
  file(MAKE_DIRECTORY "${_staging}/include")
  file(COPY "${_work}/package/include/usearch" DESTINATION "${_staging}/include")
  file(COPY "${_work}/package/simsimd/include/simsimd" DESTINATION "${_staging}/include")
  file(COPY "${_work}/package/fp16/include/fp16" "${_work}/package/fp16/include/fp16.h"
       DESTINATION "${_staging}/include")
  file(COPY "${_work}/package/LICENSE" DESTINATION "${_staging}")
  file(REMOVE_RECURSE "${TESSARADB_USEARCH_DIR}")
  file(RENAME "${_staging}" "${TESSARADB_USEARCH_DIR}")
  file(REMOVE_RECURSE "${_work}")
endif()

add_library(usearch_headers INTERFACE)
target_include_directories(usearch_headers SYSTEM INTERFACE "${TESSARADB_USEARCH_DIR}/include")
target_compile_definitions(usearch_headers INTERFACE
  USEARCH_USE_OPENMP=0 USEARCH_USE_FP16LIB=0 USEARCH_USE_SIMSIMD=0)

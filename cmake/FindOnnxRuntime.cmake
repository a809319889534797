# Finds ONNX Runtime: a system install first (pkg-config, then the usual
# paths), else the copy tools/install-deps puts in .deps/onnxruntime.
# Defines the imported target OnnxRuntime::OnnxRuntime.
include(FindPackageHandleStandardArgs)

find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
  pkg_check_modules(PC_ORT QUIET libonnxruntime)
endif()

find_path(OnnxRuntime_INCLUDE_DIR onnxruntime_cxx_api.h
  HINTS ${PC_ORT_INCLUDE_DIRS}
  PATH_SUFFIXES onnxruntime onnxruntime/core/session)
find_library(OnnxRuntime_LIBRARY NAMES onnxruntime HINTS ${PC_ORT_LIBRARY_DIRS})

if(NOT OnnxRuntime_INCLUDE_DIR OR NOT OnnxRuntime_LIBRARY)
  set(_ort_local "${CMAKE_SOURCE_DIR}/.deps/onnxruntime")
  unset(OnnxRuntime_INCLUDE_DIR CACHE)
  unset(OnnxRuntime_LIBRARY CACHE)
  find_path(OnnxRuntime_INCLUDE_DIR onnxruntime_cxx_api.h PATHS "${_ort_local}/include" NO_DEFAULT_PATH)
  find_library(OnnxRuntime_LIBRARY NAMES onnxruntime PATHS "${_ort_local}/lib" NO_DEFAULT_PATH)
endif()

find_package_handle_standard_args(OnnxRuntime REQUIRED_VARS OnnxRuntime_LIBRARY OnnxRuntime_INCLUDE_DIR)

if(OnnxRuntime_FOUND AND NOT TARGET OnnxRuntime::OnnxRuntime)
  add_library(OnnxRuntime::OnnxRuntime SHARED IMPORTED)
  set_target_properties(OnnxRuntime::OnnxRuntime PROPERTIES
    IMPORTED_LOCATION "${OnnxRuntime_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${OnnxRuntime_INCLUDE_DIR}")
  get_filename_component(OnnxRuntime_LIBRARY_DIR "${OnnxRuntime_LIBRARY}" DIRECTORY)
  # Programs find a private copy through their RPATH.
  set(CMAKE_BUILD_RPATH "${CMAKE_BUILD_RPATH};${OnnxRuntime_LIBRARY_DIR}")
  set(CMAKE_INSTALL_RPATH "${CMAKE_INSTALL_RPATH};${OnnxRuntime_LIBRARY_DIR}")
endif()
mark_as_advanced(OnnxRuntime_INCLUDE_DIR OnnxRuntime_LIBRARY)

# tarnwell_import_host_library(PREFIX)
#
# Defines dfmext::dfm-extension as the file manager's extension library
# installed under PREFIX: its headers in PREFIX/include/dfmext/ and
# libdfm-extension.so.1 in one of PREFIX's library folders. A runtime
# package may ship only the SONAME file, without the development namelink,
# so both names are accepted. Only PREFIX is searched: a library found
# elsewhere would not be the one that was asked for.
function(tarnwell_import_host_library prefix)
  find_path(TARNWELL_HOST_INCLUDE_DIR dfmext/emblem.h
    PATHS ${prefix}/include NO_DEFAULT_PATH)
  find_library(TARNWELL_HOST_LIBRARY NAMES dfm-extension libdfm-extension.so.1
    PATHS ${prefix}/${CMAKE_INSTALL_LIBDIR} ${prefix}/lib/${CMAKE_LIBRARY_ARCHITECTURE} ${prefix}/lib
    NO_DEFAULT_PATH)
  if(NOT TARNWELL_HOST_INCLUDE_DIR OR NOT TARNWELL_HOST_LIBRARY)
    message(FATAL_ERROR "TARNWELL_HOST_LIBRARY_PREFIX=${prefix}: no file-manager extension "
      "library there (want include/dfmext/emblem.h and libdfm-extension.so.1 in a lib folder; "
      "found headers: ${TARNWELL_HOST_INCLUDE_DIR}, library: ${TARNWELL_HOST_LIBRARY})")
  endif()
  add_library(dfmext::dfm-extension SHARED IMPORTED GLOBAL)
  set_target_properties(dfmext::dfm-extension PROPERTIES
    IMPORTED_LOCATION ${TARNWELL_HOST_LIBRARY}
    INTERFACE_INCLUDE_DIRECTORIES ${TARNWELL_HOST_INCLUDE_DIR})
  message(STATUS "Building the plug-in against ${TARNWELL_HOST_LIBRARY}")
endfunction()

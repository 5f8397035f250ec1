# SQLite and libical for the Windows build, cross-compiled from the Debian source
# tarballs that fetch-sources.sh puts into the cache folder.
#
# pim_sqlite3: SQLite's amalgamation, generated on the build machine (it needs a
#              host C compiler and tclsh) and compiled with the cross compiler.
# pim_libical: libical's own CMake build, static, with its built-in time zone data;
#              the zone files land in ${PIM_LIBICAL_ZONEINFO}.
include_guard(GLOBAL)
include(ExternalProject)

set(PIM_THIRD_PARTY_DIR ${CMAKE_CURRENT_LIST_DIR})
set(PIM_THIRD_PARTY_CACHE ${PIM_THIRD_PARTY_DIR}/cache CACHE PATH "Folder of the Debian source tarballs")

file(GLOB _sqlite_tar ${PIM_THIRD_PARTY_CACHE}/sqlite3_*.orig.tar.xz)
file(GLOB _libical_tar ${PIM_THIRD_PARTY_CACHE}/libical3_*.orig.tar.gz)
if(NOT _sqlite_tar OR NOT _libical_tar)
  message(FATAL_ERROR "SQLite or libical sources are missing in ${PIM_THIRD_PARTY_CACHE}: "
                      "run windows/third_party/fetch-sources.sh (scripts/bootstrap.sh does)")
endif()
list(GET _sqlite_tar 0 _sqlite_tar)
list(GET _libical_tar 0 _libical_tar)
find_program(PIM_TCLSH NAMES tclsh tclsh8.6 REQUIRED)

ExternalProject_Add(sqlite3_amalgamation
  URL ${_sqlite_tar}
  PREFIX ${CMAKE_BINARY_DIR}/third_party/sqlite3
  DOWNLOAD_EXTRACT_TIMESTAMP ON
  # Host tools only: the amalgamation is plain C, compiled below for Windows.
  CONFIGURE_COMMAND env -u CC -u CFLAGS <SOURCE_DIR>/configure --disable-tcl --with-tcl=no TCLSH_CMD=${PIM_TCLSH} > configure.log
  BUILD_COMMAND make -s sqlite3.c sqlite3.h
  INSTALL_COMMAND ""
  BUILD_BYPRODUCTS <BINARY_DIR>/sqlite3.c <BINARY_DIR>/sqlite3.h)
ExternalProject_Get_Property(sqlite3_amalgamation BINARY_DIR)
set(_sqlite_dir ${BINARY_DIR})
set_source_files_properties(${_sqlite_dir}/sqlite3.c PROPERTIES GENERATED ON)
add_library(pim_sqlite3 STATIC ${_sqlite_dir}/sqlite3.c)
add_dependencies(pim_sqlite3 sqlite3_amalgamation)
target_include_directories(pim_sqlite3 SYSTEM PUBLIC ${_sqlite_dir})
# As Debian builds it, as far as the store needs: the R*Tree index of event spans.
target_compile_definitions(pim_sqlite3 PRIVATE SQLITE_THREADSAFE=1 SQLITE_ENABLE_RTREE=1 SQLITE_ENABLE_FTS5
                           SQLITE_ENABLE_DBSTAT_VTAB SQLITE_OMIT_LOAD_EXTENSION)
target_compile_options(pim_sqlite3 PRIVATE -O2 -w)

set(_libical_prefix ${CMAKE_BINARY_DIR}/third_party/libical)
set(_libical_lib ${_libical_prefix}/lib/${CMAKE_STATIC_LIBRARY_PREFIX}ical${CMAKE_STATIC_LIBRARY_SUFFIX})
ExternalProject_Add(libical_build
  URL ${_libical_tar}
  PREFIX ${_libical_prefix}
  INSTALL_DIR ${_libical_prefix}
  DOWNLOAD_EXTRACT_TIMESTAMP ON
  CMAKE_GENERATOR Ninja
  CMAKE_ARGS
    -DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE}
    -DCMAKE_BUILD_TYPE=Release
    -DCMAKE_INSTALL_PREFIX=<INSTALL_DIR>
    -DCMAKE_INSTALL_LIBDIR=lib
    -DCMAKE_C_COMPILER_LAUNCHER=${CMAKE_C_COMPILER_LAUNCHER}
    -DCMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER}
    -DSTATIC_ONLY=ON
    -DUSE_BUILTIN_TZDATA=ON
    -DICAL_GLIB=OFF
    -DICAL_BUILD_DOCS=OFF
    -DENABLE_GTK_DOC=OFF
    -DGOBJECT_INTROSPECTION=OFF
    -DICAL_GLIB_VAPI=OFF
    -DLIBICAL_BUILD_TESTING=OFF
    -DWITH_CXX_BINDINGS=OFF
    -DCMAKE_DISABLE_FIND_PACKAGE_ICU=ON
    -DCMAKE_DISABLE_FIND_PACKAGE_BDB=ON
    -DCMAKE_DISABLE_FIND_PACKAGE_GObjectIntrospection=ON
    -DCMAKE_DISABLE_FIND_PACKAGE_Doxygen=ON
  BUILD_BYPRODUCTS ${_libical_lib})
file(MAKE_DIRECTORY ${_libical_prefix}/include)
add_library(pim_libical STATIC IMPORTED GLOBAL)
set_target_properties(pim_libical PROPERTIES IMPORTED_LOCATION ${_libical_lib}
                      INTERFACE_INCLUDE_DIRECTORIES ${_libical_prefix}/include
                      INTERFACE_COMPILE_DEFINITIONS LIBICAL_ICAL_STATIC_DEFINE)
add_dependencies(pim_libical libical_build)
set(PIM_LIBICAL_ZONEINFO ${_libical_prefix}/share/libical/zoneinfo)

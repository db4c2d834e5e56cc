# Shared build settings for Morvika's own targets.

find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)

# Warnings as errors for our code only; third-party headers come in as SYSTEM.
add_library(morvika_warnings INTERFACE)
target_compile_options(morvika_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Werror
  -Wno-missing-field-initializers)
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  target_compile_options(morvika_warnings INTERFACE -Wno-gnu-zero-variadic-macro-arguments)
endif()
# g++ 12 at -O2/-O3 reports overlapping copies inside std::string's operator+ that cannot
# happen (GCC bug 105329, mended in g++ 13); only the false reports' warning goes.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_GREATER_EQUAL 12
   AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  target_compile_options(morvika_warnings INTERFACE -Wno-restrict)
endif()

# lld links a program in a third of ld's time; used for the sanitizer builds and the test
# programs (dozens of them) where it is installed. The program users build keeps the default.
include(CheckLinkerFlag)
check_linker_flag(CXX -fuse-ld=lld MORVIKA_HAVE_LLD)

if(MORVIKA_SANITIZE)
  # Sanitizer builds exist to run tests: -O1 compiles faster than -O2 and keeps the
  # sanitizers' findings and stack traces exact; line tables are all their reports need.
  if(CMAKE_BUILD_TYPE STREQUAL "RelWithDebInfo")
    if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
      set(CMAKE_CXX_FLAGS_RELWITHDEBINFO "-O1 -gline-tables-only -DNDEBUG")
      set(CMAKE_C_FLAGS_RELWITHDEBINFO "-O1 -gline-tables-only -DNDEBUG")
    else()
      set(CMAKE_CXX_FLAGS_RELWITHDEBINFO "-O1 -g1 -DNDEBUG")
      set(CMAKE_C_FLAGS_RELWITHDEBINFO "-O1 -g1 -DNDEBUG")
    endif()
  endif()
  add_compile_options(-fsanitize=${MORVIKA_SANITIZE} -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${MORVIKA_SANITIZE})
  if(MORVIKA_HAVE_LLD)
    add_link_options(-fuse-ld=lld)
  endif()
  if(MORVIKA_SANITIZE MATCHES "undefined")
    add_compile_options(-fno-sanitize-recover=undefined)
  endif()
endif()

if(MORVIKA_FUZZ AND NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "MORVIKA_FUZZ needs clang (configure with CXX=clang++ CC=clang)")
endif()

set(MORVIKA_VERSION_MAJOR ${PROJECT_VERSION_MAJOR})
set(MORVIKA_VERSION_MINOR ${PROJECT_VERSION_MINOR})
set(MORVIKA_VERSION_PATCH ${PROJECT_VERSION_PATCH})
set(MORVIKA_VERSION_TWEAK ${PROJECT_VERSION_TWEAK})

# morvika_library(NAME SOURCES... [LIBS ...]): a static library of one folder.
function(morvika_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;PUBLIC_LIBS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE morvika_warnings ${ARG_LIBS} PUBLIC ${ARG_PUBLIC_LIBS})
endfunction()

# The release the package and the desktop's software centre announce.
set(MORVIKA_RELEASE_DATE 2026-12-09)
set(MORVIKA_RELEASE_RFC2822 "Wed, 09 Dec 2026 00:00:00 +0000")
set(MORVIKA_MAINTAINER "Morvika developers <morvika@morvika.example>")
set(MORVIKA_HOMEPAGE "https://morvika.example" CACHE STRING
  "Where the program is published; the software centre shows its screenshots/ pictures")

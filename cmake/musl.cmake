# The shipped kelpa is linked statically against musl, the C library of Debian's musl-dev,
# with the host's g++: the product uses C++ only from headers, so the C++ headers of g++
# serve over musl's C headers, and nothing of the C++ runtime is linked. This sets
#   KELPA_MUSL_COMPILE_OPTIONS  for every product source of the musl build of a layer
#   KELPA_MUSL_LINK_OPTIONS     for the kelpa executable, KELPA_MUSL_LINK_LIBRARIES after
#                               its libraries.
set(_arch ${CMAKE_SYSTEM_PROCESSOR})
find_file(KELPA_MUSL_SPECS musl-gcc.specs
          PATHS /usr/lib/${_arch}-linux-musl /usr/lib/musl/lib /usr/local/musl/lib NO_DEFAULT_PATH)
find_path(KELPA_MUSL_INCLUDE NAMES stdio.h
          PATHS /usr/include/${_arch}-linux-musl /usr/lib/musl/include /usr/local/musl/include
          NO_DEFAULT_PATH)
if(NOT KELPA_MUSL_SPECS OR NOT KELPA_MUSL_INCLUDE)
  message(FATAL_ERROR "The static kelpa needs musl: apt-get install musl-tools musl-dev "
                      "(or configure with -DKELPA_MUSL=OFF for a development build)")
endif()
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  message(FATAL_ERROR "The static kelpa is built with g++ (found ${CMAKE_CXX_COMPILER_ID})")
endif()

# g++'s own header directories (the C++ library's, then the compiler's intrinsics), without
# the host C library's, which musl's replace.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=include
                OUTPUT_VARIABLE _gcc_include OUTPUT_STRIP_TRAILING_WHITESPACE)
set(_cxx_includes)
foreach(_dir ${CMAKE_CXX_IMPLICIT_INCLUDE_DIRECTORIES})
  if(_dir MATCHES "/c\\+\\+/")
    list(APPEND _cxx_includes "SHELL:-isystem ${_dir}")
  endif()
endforeach()

# The C++ library's configuration header asks for glibc's version macro, which musl does not
# define: no glibc feature is there to be found. Every function and object gets its own
# section, so that the static link keeps only what is called.
set(KELPA_MUSL_COMPILE_OPTIONS -nostdinc ${_cxx_includes} "SHELL:-isystem ${_gcc_include}"
    "SHELL:-isystem ${KELPA_MUSL_INCLUDE}" "-D__GLIBC_PREREQ(major,minor)=0"
    -ffunction-sections -fdata-sections)
# musl's start files and libc.a by the specs file that comes with it; -nodefaultlibs keeps
# out the host's libstdc++ and libm, so that a call into the C++ runtime fails to link
# instead of linking glibc-built code.
set(KELPA_MUSL_LINK_OPTIONS -specs=${KELPA_MUSL_SPECS} -static -nodefaultlibs)
set(KELPA_MUSL_LINK_LIBRARIES c gcc)

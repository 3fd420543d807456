# The release executable: linked statically against musl, with the target's own GCC.
# Included by the <target>-linux-musl* toolchain files after they have named the compilers
# and either ZOLT_MUSL_TRIPLET (Debian's musl: its directory names for the target under
# /usr/include and /usr/lib) or ZOLT_MUSL_PREFIX (a musl built here), and any flags the
# target needs (ZOLT_TARGET_FLAGS, ZOLT_TARGET_LINK_FLAGS).
#
# zolt uses only header-only parts of the C++ library (string_view, array, algorithm, limits),
# so it keeps GCC's libstdc++ headers and takes musl's C headers in place of glibc's. Those
# headers were configured for glibc and test its version with __GLIBC_PREREQ, which musl does
# not define: here, and only here, it is defined to answer "not glibc". Nothing of the C++
# runtime is linked (see ZOLT_MUSL in CMakeLists.txt).
set(ZOLT_MUSL ON)
if(ZOLT_MUSL_PREFIX)
  set(musl_include ${ZOLT_MUSL_PREFIX}/include)
  set(musl_specs ${ZOLT_MUSL_PREFIX}/lib/musl-gcc.specs)
else()
  set(musl_include /usr/include/${ZOLT_MUSL_TRIPLET})
  set(musl_specs /usr/lib/${ZOLT_MUSL_TRIPLET}/musl-gcc.specs)
endif()
if(NOT EXISTS ${musl_specs})
  message(FATAL_ERROR "${musl_specs} is missing: make installs or builds it")
endif()

# The compiler's own C++ header directories, in its search order.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -x c++ -E -v - INPUT_FILE /dev/null
                OUTPUT_QUIET ERROR_VARIABLE compiler_search)
string(REGEX MATCHALL "\n [^\n]*/c\\+\\+/[^\n]*" cxx_include_dirs "${compiler_search}")
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=include
                OUTPUT_VARIABLE gcc_include OUTPUT_STRIP_TRAILING_WHITESPACE)
set(include_flags "-nostdinc")
foreach(dir IN LISTS cxx_include_dirs)
  string(STRIP "${dir}" dir)
  string(APPEND include_flags " -isystem ${dir}")
endforeach()
string(APPEND include_flags " -isystem ${musl_include} -isystem ${gcc_include}")

# The kernel's own headers (linux/, asm/, asm-generic/, for the sandbox) are not musl's: they
# come from the target's usual header directories, which also hold glibc's, so only these
# three are linked into a directory of their own.
string(REGEX MATCHALL "\n [^\n]*include[^\n]*" c_include_dirs "${compiler_search}")
set(kernel_include ${CMAKE_BINARY_DIR}/kernel-include)
foreach(dir IN LISTS c_include_dirs)
  string(STRIP "${dir}" dir)
  foreach(kind linux asm asm-generic)
    if(IS_DIRECTORY ${dir}/${kind} AND NOT EXISTS ${kernel_include}/${kind})
      file(MAKE_DIRECTORY ${kernel_include})
      file(CREATE_LINK ${dir}/${kind} ${kernel_include}/${kind} SYMBOLIC)
    endif()
  endforeach()
endforeach()
string(APPEND include_flags " -isystem ${kernel_include}")

set(CMAKE_CXX_FLAGS_INIT
    "${ZOLT_TARGET_FLAGS} ${include_flags} \"-D__GLIBC_PREREQ(major, minor)=0\"")
# Small: optimised for size, unused sections dropped, symbols stripped. Reproducible: no build
# id, and no source path in the executable. A static musl executable has no loader that would
# apply RELRO, so its segment would only pad the file to the 64 KiB page alignment aarch64
# needs; without it the segments keep that alignment and the file stays small.
# (A cache entry, since CMake would append its own -O3 to an initial value.)
set(CMAKE_CXX_FLAGS_RELEASE "-Os -DNDEBUG -ffunction-sections -fdata-sections" CACHE STRING "")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${ZOLT_TARGET_FLAGS} ${ZOLT_TARGET_LINK_FLAGS} -static \
    -specs=${musl_specs} -Wl,--gc-sections -Wl,--build-id=none -Wl,-z,norelro -s")

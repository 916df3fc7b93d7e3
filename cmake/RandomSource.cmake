# Where the random draw of message and envelope ids comes from, settled
# when the program is built rather than when it first draws: the system
# library's arc4random_uniform where it has one, libbsd's otherwise.
#
# libbsd, which the program links for what the system library lacks,
# exports a strong arc4random_uniform of its own, and the link editor
# prefers it to the system library's weak one whatever the order of the
# libraries. So the draw names the system library's by its symbol version,
# and the binary then needs that version of the system library to start at
# all. GNU ld 2.40 writes a broken binary for such a reference when libbsd
# is linked too, so the check below links and runs one with each linker
# that may be there and keeps the first that gets it right.
#
# Sets MEMQ_RANDOM_SOURCE to "system" or "libbsd", and
# MEMQ_RANDOM_LINK_OPTIONS to what a program that draws must be linked with.

option(MEMQ_SYSTEM_ARC4RANDOM
       "Draw ids with the system library's arc4random_uniform where it has one (else libbsd's)" ON)

set(MEMQ_RANDOM_SOURCE libbsd)
set(MEMQ_RANDOM_LINK_OPTIONS "")
if(MEMQ_SYSTEM_ARC4RANDOM AND NOT CMAKE_CROSSCOMPILING)
  set(probe_dir ${PROJECT_BINARY_DIR}/random-source)
  set(probe ${probe_dir}/probe.cc)
  file(WRITE ${probe} [=[
#include <bsd/string.h>
#include <cstdint>
#include <cstdlib>
__asm__(".symver arc4random_uniform,arc4random_uniform@GLIBC_2.36");
int main() {
    char copy[4];
    strlcpy(copy, "ab", sizeof copy);
    return arc4random_uniform(1) == 0 && copy[1] == 'b' ? 0 : 1;
}
]=])
  # clang's sanitizer runtimes make gold warn about every symbol they keep
  # local, so clang tries lld first.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    set(linkers default lld gold)
  else()
    set(linkers default gold lld)
  endif()
  foreach(linker ${linkers})
    if(linker STREQUAL "default")
      set(option "")
    else()
      set(option -fuse-ld=${linker})
    endif()
    try_run(probe_ran probe_built ${probe_dir}/${linker} ${probe}
            LINK_OPTIONS ${option}
            LINK_LIBRARIES PkgConfig::LIBBSD
            CXX_STANDARD 20)
    if(probe_built AND probe_ran EQUAL 0)
      set(MEMQ_RANDOM_SOURCE system)
      set(MEMQ_RANDOM_LINK_OPTIONS ${option})
      break()
    endif()
  endforeach()
endif()
if(MEMQ_RANDOM_SOURCE STREQUAL "system")
  if(MEMQ_RANDOM_LINK_OPTIONS)
    message(STATUS "Random ids: the system library's arc4random_uniform (linked with ${MEMQ_RANDOM_LINK_OPTIONS})")
  else()
    message(STATUS "Random ids: the system library's arc4random_uniform")
  endif()
else()
  message(STATUS "Random ids: libbsd's arc4random_uniform")
endif()

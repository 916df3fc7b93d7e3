# memq_library(NAME [INTERFACE] DIR dir [SOURCES ...] [HEADERS ...]
#              [PRIVATE_HEADERS ...] [DEPS ...] [PRIVATE_DEPS ...])
#
# One library of src/DIR. Its users see only HEADERS, included as
# "DIR/header.h" from an include directory of the library's own in the
# build tree, which holds links to them and nothing else; so a target that
# includes a header of a library it does not link fails to build, and the
# dependencies declared here are the ones the code has. The library's own
# sources see its HEADERS and PRIVATE_HEADERS the same way. DEPS are the
# libraries its headers need (PUBLIC), PRIVATE_DEPS those only its sources
# need. Every library is built with memq_options.
function(memq_library name)
  cmake_parse_arguments(ARG "INTERFACE" "DIR"
                        "SOURCES;HEADERS;PRIVATE_HEADERS;DEPS;PRIVATE_DEPS" ${ARGN})
  set(public_root ${PROJECT_BINARY_DIR}/include/${name})
  set(private_root ${PROJECT_BINARY_DIR}/include-private/${name})
  file(REMOVE_RECURSE ${public_root} ${private_root})
  file(MAKE_DIRECTORY ${public_root}/${ARG_DIR} ${private_root}/${ARG_DIR})
  foreach(header ${ARG_HEADERS})
    file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR}/${header} ${public_root}/${ARG_DIR}/${header}
         SYMBOLIC)
  endforeach()
  foreach(header ${ARG_PRIVATE_HEADERS})
    file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR}/${header} ${private_root}/${ARG_DIR}/${header}
         SYMBOLIC)
  endforeach()

  if(ARG_INTERFACE)
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${public_root})
    target_link_libraries(${name} INTERFACE ${ARG_DEPS})
    return()
  endif()
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${public_root} PRIVATE ${private_root})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} PRIVATE memq_options ${ARG_PRIVATE_DEPS})
endfunction()

# The bindings, each assembled in ${CMAKE_BINARY_DIR}/bindings as its users
# take it: the hand-written files of bindings/, and the tables generated from
# the library's lists (src/api/exports.txt, src/api/statuses.txt) by
# cmake/generate_bindings.py, which refuses lists that disagree with the header.
#   bindings/python   the package zqkapi, with _exports.py and _statuses.py, for
#                     pip install --no-build-isolation (tests/bindings, scripts/package)
#   bindings/dotnet   Zqk.cs and Zqk.csproj, with ZqkTables.cs
#   bindings/node     the npm package zqkapi, with lib/_tables.cjs; its
#                     node_modules is the source folder's (npm ci there)
# Sets ZQK_PYTHON_PACKAGE_DIR, ZQK_DOTNET_BINDING_DIR and ZQK_NODE_PACKAGE_DIR.
find_package(Python3 REQUIRED COMPONENTS Interpreter)

set(ZQK_BINDING_GENERATOR ${CMAKE_SOURCE_DIR}/cmake/generate_bindings.py)
set(ZQK_BINDING_LISTS
  ${CMAKE_SOURCE_DIR}/include/zqkAPI.h
  ${CMAKE_SOURCE_DIR}/src/api/exports.txt
  ${CMAKE_SOURCE_DIR}/src/api/statuses.txt)
set(ZQK_PYTHON_PACKAGE_DIR ${CMAKE_BINARY_DIR}/bindings/python)
set(ZQK_DOTNET_BINDING_DIR ${CMAKE_BINARY_DIR}/bindings/dotnet)
set(ZQK_NODE_PACKAGE_DIR ${CMAKE_BINARY_DIR}/bindings/node)

# Copies the binding's hand-written files below bindings/FOLDER (those that
# match the globs given, relative to it) into the build tree; a change to one
# of them, or a file added, configures again.
function(zqk_copy_binding_sources folder)
  set(globs)
  foreach(glob IN LISTS ARGN)
    list(APPEND globs ${CMAKE_SOURCE_DIR}/bindings/${folder}/${glob})
  endforeach()
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS RELATIVE ${CMAKE_SOURCE_DIR}/bindings/${folder} ${globs})
  foreach(source IN LISTS sources)
    # Not the tests, nor what a build in the source folder left there.
    if(NOT source MATCHES "^(tests|test|build|node_modules)/|egg-info/|__pycache__/|^\\.|_tables\\.cjs$")
      configure_file(${CMAKE_SOURCE_DIR}/bindings/${folder}/${source}
                     ${CMAKE_BINARY_DIR}/bindings/${folder}/${source} COPYONLY)
    endif()
  endforeach()
endfunction()
zqk_copy_binding_sources(python *)
zqk_copy_binding_sources(dotnet *)
# Not recursive at the top: node_modules is large and not the binding's.
zqk_copy_binding_sources(node *.json *.cjs *.mjs *.d.ts lib/*.cjs)
file(CREATE_LINK ${CMAKE_SOURCE_DIR}/bindings/node/node_modules ${ZQK_NODE_PACKAGE_DIR}/node_modules SYMBOLIC)

add_custom_command(
  OUTPUT ${ZQK_PYTHON_PACKAGE_DIR}/zqkapi/_exports.py ${ZQK_PYTHON_PACKAGE_DIR}/zqkapi/_statuses.py
  COMMAND ${Python3_EXECUTABLE} ${ZQK_BINDING_GENERATOR} python ${CMAKE_SOURCE_DIR} ${ZQK_PYTHON_PACKAGE_DIR}/zqkapi
  DEPENDS ${ZQK_BINDING_GENERATOR} ${ZQK_BINDING_LISTS}
  COMMENT "Generating the Python binding's tables"
  VERBATIM)
add_custom_command(
  OUTPUT ${ZQK_DOTNET_BINDING_DIR}/ZqkTables.cs
  COMMAND ${Python3_EXECUTABLE} ${ZQK_BINDING_GENERATOR} dotnet ${CMAKE_SOURCE_DIR} ${ZQK_DOTNET_BINDING_DIR}/ZqkTables.cs
  DEPENDS ${ZQK_BINDING_GENERATOR} ${ZQK_BINDING_LISTS}
  COMMENT "Generating the C# binding's tables"
  VERBATIM)
add_custom_command(
  OUTPUT ${ZQK_NODE_PACKAGE_DIR}/lib/_tables.cjs
  COMMAND ${Python3_EXECUTABLE} ${ZQK_BINDING_GENERATOR} node ${CMAKE_SOURCE_DIR} ${ZQK_NODE_PACKAGE_DIR}/lib/_tables.cjs
  DEPENDS ${ZQK_BINDING_GENERATOR} ${ZQK_BINDING_LISTS}
  COMMENT "Generating the Node.js binding's tables"
  VERBATIM)
add_custom_target(zqk_bindings ALL DEPENDS
  ${ZQK_PYTHON_PACKAGE_DIR}/zqkapi/_exports.py ${ZQK_PYTHON_PACKAGE_DIR}/zqkapi/_statuses.py
  ${ZQK_DOTNET_BINDING_DIR}/ZqkTables.cs ${ZQK_NODE_PACKAGE_DIR}/lib/_tables.cjs)

# The lists against the header, and the generator's tables (Python's own
# unittest, no device).
if(ZQK_BUILD_TESTS)
  add_test(NAME binding_lists
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/bindings/test_lists.py ${CMAKE_SOURCE_DIR})
endif()

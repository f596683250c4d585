# The bindings, each assembled in ${CMAKE_BINARY_DIR}/bindings as its users
# take it: the hand-written files of bindings/, and the tables generated from
# the library's lists (src/api/exports.txt, src/api/statuses.txt) by
# cmake/generate_bindings.py, which refuses lists that disagree with the header.
#   bindings/python   the package zqkapi, with _exports.py and _statuses.py, for
#                     pip install --no-build-isolation (tests/bindings, scripts/package)
#   bindings/dotnet   Zqk.cs and Zqk.csproj, with ZqkTables.cs
# Sets ZQK_PYTHON_PACKAGE_DIR and ZQK_DOTNET_BINDING_DIR to those folders.
find_package(Python3 REQUIRED COMPONENTS Interpreter)

set(ZQK_BINDING_GENERATOR ${CMAKE_SOURCE_DIR}/cmake/generate_bindings.py)
set(ZQK_BINDING_LISTS
  ${CMAKE_SOURCE_DIR}/include/zqkAPI.h
  ${CMAKE_SOURCE_DIR}/src/api/exports.txt
  ${CMAKE_SOURCE_DIR}/src/api/statuses.txt)
set(ZQK_PYTHON_PACKAGE_DIR ${CMAKE_BINARY_DIR}/bindings/python)
set(ZQK_DOTNET_BINDING_DIR ${CMAKE_BINARY_DIR}/bindings/dotnet)

# Copies the binding's hand-written files below bindings/FOLDER into the build
# tree; a change to one of them, or a file added, configures again.
function(zqk_copy_binding_sources folder)
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS RELATIVE ${CMAKE_SOURCE_DIR}/bindings/${folder}
       ${CMAKE_SOURCE_DIR}/bindings/${folder}/*)
  foreach(source IN LISTS sources)
    # Not the tests, nor what a build in the source folder left there.
    if(NOT source MATCHES "^(tests|build)/|egg-info/|__pycache__/|^\\.")
      configure_file(${CMAKE_SOURCE_DIR}/bindings/${folder}/${source}
                     ${CMAKE_BINARY_DIR}/bindings/${folder}/${source} COPYONLY)
    endif()
  endforeach()
endfunction()
zqk_copy_binding_sources(python)
zqk_copy_binding_sources(dotnet)

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
add_custom_target(zqk_bindings ALL DEPENDS
  ${ZQK_PYTHON_PACKAGE_DIR}/zqkapi/_exports.py ${ZQK_PYTHON_PACKAGE_DIR}/zqkapi/_statuses.py
  ${ZQK_DOTNET_BINDING_DIR}/ZqkTables.cs)

# The lists against the header, and the generator's tables (Python's own
# unittest, no device).
if(ZQK_BUILD_TESTS)
  add_test(NAME binding_lists
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/bindings/test_lists.py ${CMAKE_SOURCE_DIR})
endif()

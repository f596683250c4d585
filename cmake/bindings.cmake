# The library's lists of exports and statuses (src/api/exports.txt,
# src/api/statuses.txt), checked against the header by
# cmake/generate_bindings.py.
find_package(Python3 REQUIRED COMPONENTS Interpreter)

# The lists against the header, and the generator's tables (Python's own
# unittest, no device).
if(ZQK_BUILD_TESTS)
  add_test(NAME binding_lists
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/bindings/test_lists.py ${CMAKE_SOURCE_DIR})
endif()

# The test rig that tests/, fuzz/ and bench/ share, without GoogleTest: the
# simulated device under the library or a link, lock names of this process,
# scratch folders, whole local files and the device's prompt. Included by
# each of the three; the first one defines it.
include_guard(GLOBAL)

add_library(zqk_test_rig STATIC
  ${CMAKE_CURRENT_LIST_DIR}/lock_names.cpp
  ${CMAKE_CURRENT_LIST_DIR}/scratch_folder.cpp
  ${CMAKE_CURRENT_LIST_DIR}/local_files.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sim_setup.cpp)
target_link_libraries(zqk_test_rig PUBLIC zqk_sim)
# "rig/..." from tests/, fuzz/ and bench/ alike.
target_include_directories(zqk_test_rig PUBLIC ${CMAKE_CURRENT_LIST_DIR}/..)

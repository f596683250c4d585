# find_package(zqkAPI) gives the imported target zqkAPI::zqkAPI: the shared
# library and the folder of its header, zqkAPI.h.
include("${CMAKE_CURRENT_LIST_DIR}/zqkAPITargets.cmake")

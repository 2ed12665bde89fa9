# find_package(Corvus): the imported target Corvus::corvus, whose include
# directory holds corvus.h and the other public headers.
include(${CMAKE_CURRENT_LIST_DIR}/CorvusTargets.cmake)

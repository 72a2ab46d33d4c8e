# GoogleTest for a cross build: no package of it exists for the target, so
# it is built from its sources with the cross compiler.
set(HARLWICK_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest's sources, for cross builds")
if(NOT EXISTS ${HARLWICK_GTEST_SOURCE_DIR}/CMakeLists.txt)
  message(FATAL_ERROR "No GoogleTest sources in ${HARLWICK_GTEST_SOURCE_DIR} (Debian: googletest); "
                      "set HARLWICK_GTEST_SOURCE_DIR")
endif()
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
# Someone else's code: built without this project's warning flags.
get_directory_property(harlwickOptions COMPILE_OPTIONS)
set_directory_properties(PROPERTIES COMPILE_OPTIONS "")
add_subdirectory(${HARLWICK_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
set_directory_properties(PROPERTIES COMPILE_OPTIONS "${harlwickOptions}")
if(NOT TARGET GTest::gtest)
  add_library(GTest::gtest ALIAS gtest)
  add_library(GTest::gtest_main ALIAS gtest_main)
endif()

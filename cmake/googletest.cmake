# GoogleTest for the tests. Native builds use Debian's installed package; a
# cross-build (MinGW) compiles it from Debian's sources in /usr/src/googletest,
# since no prebuilt library exists for the target.

if(CMAKE_CROSSCOMPILING)
  find_package(GTest QUIET)
  if(NOT GTest_FOUND)
    set(ZUNEL_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH
        "GoogleTest sources compiled into cross-builds")
    if(NOT EXISTS "${ZUNEL_GOOGLETEST_SOURCE}/CMakeLists.txt")
      message(FATAL_ERROR "GoogleTest sources not found in ${ZUNEL_GOOGLETEST_SOURCE} "
                          "(Debian package googletest)")
    endif()
    set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_SHARED_LIBS OFF)
    # EXCLUDE_FROM_ALL: only what the test binaries link gets built.
    add_subdirectory("${ZUNEL_GOOGLETEST_SOURCE}" "${CMAKE_BINARY_DIR}/_googletest" EXCLUDE_FROM_ALL)
    foreach(lib gtest gtest_main gmock gmock_main)
      if(NOT TARGET GTest::${lib})
        add_library(GTest::${lib} ALIAS ${lib})
      endif()
    endforeach()
  endif()
else()
  find_package(GTest REQUIRED)
endif()

# GoogleTest is Debian's prebuilt library (libgtest-dev).  A build for another
# word size (the 32-bit build) cannot link it and builds its own copy from
# Debian's source package (googletest, in /usr/src/googletest) instead.
option(TOUCH_GTEST_FROM_SOURCE "Build GoogleTest from its sources rather than link the prebuilt one" OFF)
set(TOUCH_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
if(TOUCH_GTEST_FROM_SOURCE)
    if(NOT EXISTS ${TOUCH_GTEST_SOURCE}/CMakeLists.txt)
        message(FATAL_ERROR "TOUCH_GTEST_FROM_SOURCE: no GoogleTest sources in ${TOUCH_GTEST_SOURCE}")
    endif()
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
    add_subdirectory(${TOUCH_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/_deps/googletest EXCLUDE_FROM_ALL)
    # GoogleTest 1.11 and later define these names themselves.
    foreach(gtest_lib gtest gtest_main gmock)
        if(NOT TARGET GTest::${gtest_lib})
            add_library(GTest::${gtest_lib} ALIAS ${gtest_lib})
        endif()
    endforeach()
else()
    find_package(GTest REQUIRED)
endif()
include(GoogleTest)

# touch_test(NAME LABEL SOURCES... [LIBS ...]): one GoogleTest program whose
# cases ctest discovers and labels with the given area.
function(touch_test name label)
    cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    touch_modern_code(${name})
    touch_unity_build(${name})
    touch_test_code(${name})
    target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
    gtest_discover_tests(${name} PROPERTIES LABELS ${label} DISCOVERY_TIMEOUT 60)
endfunction()

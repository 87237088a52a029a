# GoogleTest is built from Debian's source package (googletest, in
# /usr/src/googletest) so that every build flavour (32-bit, sanitizers) gets a
# matching copy; the prebuilt libgtest is the fallback.
set(TOUCH_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
if(EXISTS ${TOUCH_GTEST_SOURCE}/CMakeLists.txt)
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
    target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
    gtest_discover_tests(${name} PROPERTIES LABELS ${label} DISCOVERY_TIMEOUT 60)
endfunction()

# Compiler settings shared by every target of the project.
#
# touch_modern_code(target): hosted platform, simulator, windowing stand-in, tools, tests and
#   benchmarks: C++20.
# touch_driver_code(target): everything under driver/, which must stay C++03 so the
#   board's own toolchain can build them.  WCHAR is 16 bits on the target, so
#   the driver is built with a 16-bit wchar_t and TEXT("...") gives 16-bit
#   literals there as well.

#
# Warnings are errors with TOUCH_WERROR, which the developer presets and CI turn
# on; a build a user makes (the release preset, a plain configure) reports them
# as warnings, so that a newer compiler's new warning does not stop the build.
option(TOUCH_WERROR "Treat compiler warnings as errors" OFF)

set(TOUCH_WARNINGS -Wall -Wextra -Wpedantic -Wshadow)
if(TOUCH_WERROR)
    list(APPEND TOUCH_WARNINGS -Werror)
endif()

function(touch_modern_code target)
    target_compile_options(${target} PRIVATE ${TOUCH_WARNINGS})
    target_compile_features(${target} PRIVATE cxx_std_20)
    set_target_properties(${target} PROPERTIES CXX_EXTENSIONS OFF)
endfunction()

function(touch_driver_code target)
    target_compile_options(${target} PRIVATE ${TOUCH_WARNINGS} -std=c++03 -fshort-wchar
        -Wcast-qual -Wundef -Wmissing-declarations)
    set_target_properties(${target} PROPERTIES
        CXX_VISIBILITY_PRESET hidden POSITION_INDEPENDENT_CODE ON)
endfunction()

# touch_test_code(target): a program that only tests (a GoogleTest program, a
# replay of a fuzz corpus) is compiled to build fast rather than to run fast:
# -Og, and where the configuration has debug information, line tables only
# (-g1), which is what a failure's backtrace needs.  The libraries it tests
# keep the configuration's optimisation and full debug information.
function(touch_test_code target)
    target_compile_options(${target} PRIVATE
        $<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:-Og> $<$<CONFIG:RelWithDebInfo>:-g1>)
endfunction()

# touch_unity_build(target): the target's sources are compiled up to 16 at a time
# as one translation unit, so that the heavy headers (GoogleTest,
# nlohmann-json) are parsed and their templates instantiated once per batch
# rather than once per file.  For the test programs and the simulator's and
# touchsim's libraries; never for the driver, whose files the board's own
# toolchain builds one by one.  TOUCH_UNITY_BUILD=OFF compiles every file on
# its own, which CI does to keep each file's includes complete.
option(TOUCH_UNITY_BUILD "Compile the test programs and the host libraries in batches" ON)
set(TOUCH_UNITY_BATCH 16)

function(touch_unity_build target)
    if(TOUCH_UNITY_BUILD)
        set_target_properties(${target} PROPERTIES
            UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE ${TOUCH_UNITY_BATCH})
    endif()
endfunction()

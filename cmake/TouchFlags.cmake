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

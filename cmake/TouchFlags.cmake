# Compiler settings shared by every target of the project.
#
# touch_modern_code(target): hosted platform, simulator, windowing stand-in, tools, tests and
#   benchmarks: C++20, warnings as errors.
# touch_driver_code(target): everything under driver/, which must stay C++03 so the
#   board's own toolchain can build them.  WCHAR is 16 bits on the target, so
#   the driver is built with a 16-bit wchar_t and TEXT("...") gives 16-bit
#   literals there as well.

set(TOUCH_WARNINGS -Wall -Wextra -Wpedantic -Wshadow -Werror)

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

# The preempt build: every basic block of the driver calls the kernel's
# preemption point (platform/hosted/coverage_points.cpp).  Only the driver's
# own targets are instrumented; the kernel, the simulator, the stand-in and
# the tests are not, so no switch ever happens inside the kernel.
#
# touch_preempt_points(target): instruments target when TOUCH_PREEMPT_POINTS is on.
if(TOUCH_PREEMPT_POINTS AND NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "TOUCH_PREEMPT_POINTS needs clang (-fsanitize-coverage=trace-pc-guard)")
endif()

function(touch_preempt_points target)
    if(TOUCH_PREEMPT_POINTS)
        target_compile_options(${target} PRIVATE -fsanitize-coverage=trace-pc-guard)
    endif()
endfunction()

# The benchmark of touchsim (bench/touchsim_bench.cpp), included from
# bench/CMakeLists.txt; built only when touchsim itself is.
if(TARGET touchsim_core)
    find_package(benchmark REQUIRED)
    add_executable(touchsim_bench ${CMAKE_CURRENT_LIST_DIR}/../../bench/touchsim_bench.cpp)
    touch_modern_code(touchsim_bench)
    target_link_libraries(touchsim_bench PRIVATE touchsim_core benchmark::benchmark)
endif()

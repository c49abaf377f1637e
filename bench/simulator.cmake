# simulator benchmarks: event generation of the simulated device with the
# accumulator attached
add_executable(bench_simulator bench_simulator.cpp)
target_link_libraries(bench_simulator PRIVATE velmora_device oxTDC1)

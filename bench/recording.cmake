# recording benchmarks
# The recorder fed through the accumulator's callbacks, and the simulated
# device's default configuration recorded.
add_executable(bench_recording bench_recording.cpp)
target_link_libraries(bench_recording PRIVATE velmora_recording velmora_device oxTDC1)
target_compile_definitions(bench_recording PRIVATE
                           VELMORA_DEFAULT_INI="${PROJECT_SOURCE_DIR}/simulator/tdc_qv5.ini")

# analysis benchmarks: the lifetime fit's speed
add_executable(bench_lifetimefit bench_lifetimefit.cpp)
target_link_libraries(bench_lifetimefit PRIVATE velmora_analysis)

# panel benchmarks
# Cycle cost of an automatic run on the simulated device.
if(TARGET oxTDC1)
  add_executable(bench_cycle bench_cycle.cpp)
  target_link_libraries(bench_cycle PRIVATE velmora_panel velmora_device oxTDC1)
endif()

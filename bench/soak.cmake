# soak benchmark: 10,000 automatic exposures through the measurement panel on
# the simulated device, with memory growth and event accounting
if(TARGET oxTDC1)
  add_executable(bench_soak bench_soak.cpp)
  target_link_libraries(bench_soak PRIVATE velmora_panel velmora_device oxTDC1)
endif()

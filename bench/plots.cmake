# plots benchmarks; they size the accumulator's histograms with one exposure
# of the simulated device and fill them themselves (benchrig.h).
if(TARGET oxTDC1)
  add_executable(bench_refresh bench_refresh.cpp benchrig.h)
  target_link_libraries(bench_refresh PRIVATE velmora_plots oxTDC1)

  add_executable(bench_export bench_export.cpp benchrig.h)
  target_link_libraries(bench_export PRIVATE velmora_plots oxTDC1)
endif()

# plots benchmarks; they fill the accumulator through the device library's
# test double and the plots' test rig, which the test tree defines.
if(TARGET velmora_fakeoxtdc)
  set(histogram_rig ${PROJECT_SOURCE_DIR}/tests/histogramrig.h)
  add_executable(bench_refresh bench_refresh.cpp ${histogram_rig})
  target_link_libraries(bench_refresh PRIVATE velmora_plots velmora_fakeoxtdc)

  add_executable(bench_export bench_export.cpp ${histogram_rig})
  target_link_libraries(bench_export PRIVATE velmora_plots velmora_fakeoxtdc)
else()
  message(STATUS "plots benchmarks need the test double: configure with VELMORA_BUILD_TESTS")
endif()

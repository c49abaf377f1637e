# device benchmarks
# The accumulator benchmark drives the pipe's callbacks itself; the device
# library is linked only to resolve the pipe entry points of velmora_device.
add_executable(bench_accumulator bench_accumulator.cpp)
if(TARGET velmora_fakeoxtdc)
  target_link_libraries(bench_accumulator PRIVATE velmora_device velmora_fakeoxtdc)
else()
  target_link_libraries(bench_accumulator PRIVATE velmora_device oxTDC1)
endif()

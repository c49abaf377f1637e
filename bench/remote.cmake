# remote benchmarks
# The remote interface from PyVISA over loopback, against the whole program.
if(TARGET oxTDC1 AND TARGET velmora_app)
  add_executable(bench_remote bench_remote.cpp)
  target_link_libraries(bench_remote PRIVATE velmora_app oxTDC1)
  target_compile_definitions(bench_remote PRIVATE VELMORA_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
endif()

# plots benchmarks

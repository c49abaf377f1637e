# device benchmarks

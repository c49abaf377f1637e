# panel benchmarks

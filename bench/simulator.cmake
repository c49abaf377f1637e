# simulator benchmarks

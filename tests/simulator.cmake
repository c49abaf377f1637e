# simulator suites

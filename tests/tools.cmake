# tools suites

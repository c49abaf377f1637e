# app suites

# plots suites

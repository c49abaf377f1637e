# device suites

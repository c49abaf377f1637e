# panel suites

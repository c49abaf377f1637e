# simulator suites: TdcIface and HistoPipe on the simulated device (no test double)
velmora_add_test(tst_simulator SOURCES tst_simulator.cpp LIBS oxTDC1 velmora_device Qt5::Core)

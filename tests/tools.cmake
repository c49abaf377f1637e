# tools suites: the tool windows against the device library's double (their
# effect on the simulated device is shown by the simulator suite and the
# end-to-end walkthrough).
velmora_add_test(tst_tools SOURCES tst_tools.cpp LIBS velmora_tools velmora_device velmora_fakeoxtdc)

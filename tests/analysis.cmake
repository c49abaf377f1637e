# analysis suite: the lifetime fit without widgets, then its window against
# the simulated device's configured lifetimes
velmora_add_test(tst_lifetimefit SOURCES tst_lifetimefit.cpp
                 LIBS velmora_tools velmora_analysis velmora_device oxTDC1)

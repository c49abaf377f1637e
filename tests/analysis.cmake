# analysis suites: the lifetime fit without widgets, and against the simulated
# device's configured lifetimes
velmora_add_test(tst_lifetimefit SOURCES tst_lifetimefit.cpp LIBS velmora_analysis Qt5::Core)
if(TARGET oxTDC1)
  velmora_add_test(tst_lifetimefit_sim SOURCES tst_lifetimefit_sim.cpp
                   LIBS velmora_tools velmora_analysis velmora_device oxTDC1)
endif()

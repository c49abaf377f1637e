# tools suites
velmora_add_test(tst_statswindow SOURCES tst_statswindow.cpp
                 LIBS velmora_tools velmora_device velmora_fakeoxtdc)
velmora_add_test(tst_channelcorrections SOURCES tst_channelcorrections.cpp
                 LIBS velmora_tools velmora_device velmora_fakeoxtdc)
velmora_add_test(tst_epot SOURCES tst_epot.cpp LIBS velmora_tools velmora_device velmora_fakeoxtdc)
# The tool windows on the simulated device (no test double).
if(TARGET oxTDC1)
  velmora_add_test(tst_tools_sim SOURCES tst_tools_sim.cpp LIBS velmora_tools velmora_device oxTDC1)
endif()

# panel suites
velmora_add_test(tst_panel SOURCES tst_panel.cpp LIBS velmora_panel velmora_fakeoxtdc)
velmora_add_test(tst_runcontroller SOURCES tst_runcontroller.cpp LIBS velmora_panel velmora_fakeoxtdc)

# The panel on the simulated device; it opens tdc_qv5.ini from the folder the
# build copies the simulator's default file into.
if(TARGET oxTDC1)
  velmora_add_test(tst_panel_sim SOURCES tst_panel_sim.cpp LIBS velmora_panel velmora_device oxTDC1)
  set_tests_properties(tst_panel_sim PROPERTIES WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
endif()

# panel suites
velmora_add_test(tst_panel SOURCES tst_panel.cpp LIBS velmora_panel velmora_fakeoxtdc)
velmora_add_test(tst_runcontroller SOURCES tst_runcontroller.cpp LIBS velmora_panel velmora_fakeoxtdc)


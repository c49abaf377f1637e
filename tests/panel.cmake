# panel suites
velmora_add_test(tst_panel SOURCES tst_panel.cpp LIBS velmora_panel velmora_fakeoxtdc)
target_compile_definitions(tst_panel PRIVATE VELMORA_VERSION="${PROJECT_VERSION}")
velmora_add_test(tst_runcontroller SOURCES tst_runcontroller.cpp LIBS velmora_panel velmora_fakeoxtdc)

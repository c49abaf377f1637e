# app suites
velmora_add_test(tst_app SOURCES tst_app.cpp LIBS velmora_app velmora_fakeoxtdc)

# device suites: TdcIface and HistoPipe against the device library's double.
# QtCore and QtTest only, so they also run in the ThreadSanitizer build.
velmora_add_test(tst_histopipe SOURCES tst_histopipe.cpp LIBS velmora_device velmora_fakeoxtdc)
velmora_add_test(tst_tdciface SOURCES tst_tdciface.cpp LIBS velmora_device velmora_fakeoxtdc)

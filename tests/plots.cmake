# plots suites
velmora_add_test(tst_plots SOURCES tst_plots.cpp histogramrig.h LIBS velmora_plots velmora_fakeoxtdc)
velmora_add_test(tst_export SOURCES tst_export.cpp histogramrig.h LIBS velmora_plots velmora_fakeoxtdc)

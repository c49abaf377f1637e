# End-to-end: the real main window on the simulated device.
if(TARGET oxTDC1 AND TARGET velmora_app)
  velmora_add_test(tst_walkthrough
    SOURCES tst_walkthrough.cpp e2ehelpers.h
    LIBS velmora_app oxTDC1 Qwt::Qwt)
  target_compile_definitions(tst_walkthrough PRIVATE
    VELMORA_DEFAULT_INI="${PROJECT_SOURCE_DIR}/simulator/tdc_qv5.ini")
endif()

# The installed program, started as its desktop entry does.
if(TARGET velmora)
  add_test(NAME check_install
           COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/check_install.sh ${PROJECT_BINARY_DIR})
  set_tests_properties(check_install PROPERTIES TIMEOUT 120)
endif()

# Finds Qwt 6 for Qt 5 (Debian: libqwt-qt5-dev) and defines the imported
# target Qwt::Qwt. Qwt's pkg-config file pulls in Qt5Svg's, so the header and
# library are looked up directly.
find_path(QWT_INCLUDE_DIR NAMES qwt_plot.h
  PATH_SUFFIXES qwt qwt-qt5 qwt6
  PATHS /usr/include /usr/local/include /usr/include/x86_64-linux-gnu)
find_library(QWT_LIBRARY NAMES qwt-qt5 qwt6-qt5 qwt)

if(QWT_INCLUDE_DIR AND EXISTS "${QWT_INCLUDE_DIR}/qwt_global.h")
  file(STRINGS "${QWT_INCLUDE_DIR}/qwt_global.h" _qwt_version_line
       REGEX "^#define[ \t]+QWT_VERSION_STR[ \t]+\"")
  string(REGEX REPLACE ".*\"([0-9.]+)\".*" "\\1" QWT_VERSION "${_qwt_version_line}")
endif()

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(Qwt REQUIRED_VARS QWT_LIBRARY QWT_INCLUDE_DIR
                                  VERSION_VAR QWT_VERSION)

if(Qwt_FOUND AND NOT TARGET Qwt::Qwt)
  add_library(Qwt::Qwt UNKNOWN IMPORTED)
  set_target_properties(Qwt::Qwt PROPERTIES
    IMPORTED_LOCATION "${QWT_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${QWT_INCLUDE_DIR}"
    INTERFACE_LINK_LIBRARIES "Qt5::Widgets")
endif()
mark_as_advanced(QWT_INCLUDE_DIR QWT_LIBRARY)

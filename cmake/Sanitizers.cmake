# VELMORA_SANITIZE selects sanitizers for the whole build, e.g.
#   -DVELMORA_SANITIZE=address,undefined   or   -DVELMORA_SANITIZE=thread
set(VELMORA_SANITIZE "" CACHE STRING "Comma-separated sanitizers (address,undefined or thread)")
if(VELMORA_SANITIZE)
  set(_san_flags -fsanitize=${VELMORA_SANITIZE} -fno-omit-frame-pointer)
  if(VELMORA_SANITIZE MATCHES "undefined")
    # An undefined-behaviour report must fail the test, not only print.
    list(APPEND _san_flags -fno-sanitize-recover=undefined)
  endif()
  add_compile_options(${_san_flags})
  add_link_options(${_san_flags})
  message(STATUS "Sanitizers: ${VELMORA_SANITIZE}")
endif()

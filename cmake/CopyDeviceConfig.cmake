# Puts the simulator's device configuration beside the program without ever
# overwriting one the user put there (the configuration of a real device).
#
# velmora_copy_device_config(<source> <destination> <stamp>)
#
# The stamp file holds the SHA-256 of the file as the build last copied it.
# The destination is (re)written only when it is missing, or when it still is
# what the build last copied (or, without a stamp, equal to the source: a
# build folder from before the stamp existed). Anything else is the user's
# and is kept, with a note at configure time.
#
# Also runs as a script, which is how the tests drive it:
#   cmake -DSOURCE=<file> -DDESTINATION=<file> -DSTAMP=<file> -P CopyDeviceConfig.cmake

function(velmora_copy_device_config source destination stamp)
  if(NOT CMAKE_SCRIPT_MODE_FILE)
    # A changed source is looked at again at the next build, copied or not.
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${source}")
  endif()
  file(SHA256 "${source}" source_hash)
  if(EXISTS "${destination}")
    file(SHA256 "${destination}" destination_hash)
    set(copied_hash "")
    if(EXISTS "${stamp}")
      file(READ "${stamp}" copied_hash)
      string(STRIP "${copied_hash}" copied_hash)
    endif()
    if(destination_hash STREQUAL source_hash)
      # Already the source's content: only the stamp may need catching up.
    elseif(NOT destination_hash STREQUAL copied_hash)
      message(STATUS "Keeping your ${destination}: it differs from the copy this build made "
                     "of ${source}; delete it to get the simulator's again")
      return()
    endif()
  endif()
  get_filename_component(destination_dir "${destination}" DIRECTORY)
  file(MAKE_DIRECTORY "${destination_dir}")
  # Copied byte for byte through a temporary name, so that an interrupted copy
  # never leaves a half file that the stamp would then call ours.
  configure_file("${source}" "${destination}.part" COPYONLY)
  file(RENAME "${destination}.part" "${destination}")
  file(WRITE "${stamp}" "${source_hash}\n")
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  foreach(argument SOURCE DESTINATION STAMP)
    if(NOT DEFINED ${argument})
      message(FATAL_ERROR "CopyDeviceConfig.cmake: -D${argument}=... is missing")
    endif()
  endforeach()
  velmora_copy_device_config("${SOURCE}" "${DESTINATION}" "${STAMP}")
endif()

# Removes every file an install listed in its manifest, below $ENV{DESTDIR}
# as the install wrote it, then the directories that held only our files.
# Usage: cmake -DMANIFEST=.../install_manifest.txt -P uninstall.cmake
if(NOT EXISTS "${MANIFEST}")
  message(FATAL_ERROR "No ${MANIFEST}: nothing was installed from this build directory")
endif()
file(STRINGS "${MANIFEST}" files)
set(dirs)
foreach(f ${files})
  set(path "$ENV{DESTDIR}${f}")
  if(EXISTS "${path}" OR IS_SYMLINK "${path}")
    message(STATUS "Removing ${path}")
    file(REMOVE "${path}")
  endif()
  cmake_path(GET path PARENT_PATH parent)
  list(APPEND dirs "${parent}")
endforeach()
# Our own directories (model/rastertopwg2, the documentation) go when empty;
# shared ones such as bin/ or lib/cups/filter stay, as they still hold others.
list(REMOVE_DUPLICATES dirs)
foreach(d ${dirs})
  if(d MATCHES "/(rastertopwg2|printer-driver-rastertopwg2)$")
    file(GLOB left "${d}/*")
    if(NOT left)
      message(STATUS "Removing ${d}")
      file(REMOVE_RECURSE "${d}")
    endif()
  endif()
endforeach()

# SPDX-License-Identifier: MIT
# Run by `cmake --install` (and CPack): copies the prepared person model and
# face model into <prefix>/share/kestrel. The folder is $KESTREL_MODELS_DIR
# when set, else KESTREL_SOURCE_MODELS (Models/ of the source tree); what is
# not prepared there is left out with a note.
set(from "$ENV{KESTREL_MODELS_DIR}")
if(from STREQUAL "")
  set(from "${KESTREL_SOURCE_MODELS}")
endif()
foreach(model "YOLOv3TinyFP16.mlmodelc|--model" "face-api|--face-model")
  string(REPLACE "|" ";" model "${model}")
  list(GET model 0 name)
  list(GET model 1 option)
  if(IS_DIRECTORY "${from}/${name}")
    file(INSTALL "${from}/${name}" DESTINATION "${CMAKE_INSTALL_PREFIX}/share/kestrel"
         FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
         DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                               WORLD_READ WORLD_EXECUTE)
  else()
    message(STATUS "Not installed: ${from}/${name} is not prepared (scripts/setup.sh); "
                   "automatic mode then needs ${option}")
  endif()
endforeach()

# The program's version comes from project(VERSION) alone. The version source
# (app/version.h) is written at each build, with the git commit of the
# checkout when there is one; the Windows resources take the numbers from
# version_info.h, written when CMake configures.
set(CORVEL_GENERATED_DIR ${PROJECT_BINARY_DIR}/generated)
set(CORVEL_VERSION_SOURCE ${CORVEL_GENERATED_DIR}/version_stamp.cpp)
add_custom_target(corvel_version_source
  COMMAND ${CMAKE_COMMAND} -DVERSION=${PROJECT_VERSION} -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
          -DOUTPUT=${CORVEL_VERSION_SOURCE} -P ${CMAKE_CURRENT_LIST_DIR}/write_version.cmake
  BYPRODUCTS ${CORVEL_VERSION_SOURCE}
  COMMENT "Version ${PROJECT_VERSION} and the checkout's commit"
  VERBATIM)

foreach(part MAJOR MINOR PATCH TWEAK)
  if(PROJECT_VERSION_${part} STREQUAL "")
    set(CORVEL_VERSION_${part} 0)
  else()
    set(CORVEL_VERSION_${part} ${PROJECT_VERSION_${part}})
  endif()
endforeach()
configure_file(${CMAKE_CURRENT_LIST_DIR}/version_info.h.in ${CORVEL_GENERATED_DIR}/version_info.h @ONLY)
set_source_files_properties(${CORVEL_VERSION_SOURCE} PROPERTIES GENERATED TRUE)

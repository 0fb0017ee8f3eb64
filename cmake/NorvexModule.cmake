# norvex_add_module(<module> [TARGET <name>] SOURCES ... [PUBLIC ...] [PRIVATE ...])
# Builds one module as a shared library `norvex_<module>` (or TARGET), aliased and exported
# as norvex::<module>. Vendor libraries belong in PRIVATE: they never reach public headers.
function(norvex_add_module module)
  cmake_parse_arguments(M "" "TARGET" "SOURCES;PUBLIC;PRIVATE" ${ARGN})
  if(NOT M_TARGET)
    set(M_TARGET norvex_${module})
  endif()
  add_library(${M_TARGET} SHARED ${M_SOURCES})
  add_library(norvex::${module} ALIAS ${M_TARGET})
  target_link_libraries(${M_TARGET} PUBLIC norvex::base ${M_PUBLIC} PRIVATE ${M_PRIVATE})
  set_target_properties(${M_TARGET} PROPERTIES
    EXPORT_NAME ${module}
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR}
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  norvex_warnings(${M_TARGET})
  install(TARGETS ${M_TARGET} EXPORT norvexTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  set_property(GLOBAL APPEND PROPERTY NORVEX_MODULE_LIBS ${M_TARGET})
endfunction()

function(norvex_warnings target)
  # Designated initializers that rely on member defaults are idiomatic; GCC 12 still warns.
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wno-missing-field-initializers)
  if(NORVEX_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

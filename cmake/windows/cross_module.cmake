# The extension module cross-built for Windows with mingw-w64, against
#   QUELLGATE_PYTHON3_DLL  a python3.dll (python.org's embeddable CPython) of
#                          the oldest CPython the module supports: its
#                          export table is the stable ABI the module may
#                          use, so a newer function fails the link instead
#                          of the import on an older interpreter;
#   Python_INCLUDE_DIR     any CPython 3.8+ headers (the build machine's do):
#                          Py_LIMITED_API keeps to what every Windows
#                          interpreter has, and pyconfig.h, the one
#                          platform-specific header, is replaced.
set(QUELLGATE_PYTHON3_DLL "" CACHE FILEPATH "python3.dll of the oldest supported CPython (cross-builds for Windows)")
set(QUELLGATE_PYTHON_INCLUDE_DIR "${Python_INCLUDE_DIR}" CACHE PATH "CPython headers (cross-builds for Windows)")

function(quellgate_add_cross_windows_module target)
  if(NOT EXISTS "${QUELLGATE_PYTHON3_DLL}")
    message(FATAL_ERROR "cross-building for Windows needs -DQUELLGATE_PYTHON3_DLL=<python3.dll>; "
                        "scripts/build_windows_wheel.sh fetches one")
  endif()
  if(NOT EXISTS "${QUELLGATE_PYTHON_INCLUDE_DIR}/Python.h")
    message(FATAL_ERROR "cross-building for Windows needs -DQUELLGATE_PYTHON_INCLUDE_DIR=<CPython headers>")
  endif()
  find_program(QUELLGATE_DLLTOOL NAMES x86_64-w64-mingw32-dlltool dlltool REQUIRED)
  find_program(QUELLGATE_OBJDUMP NAMES x86_64-w64-mingw32-objdump objdump REQUIRED)

  # Python.h includes "pyconfig.h" from its own folder first, so the headers
  # are copied without the build machine's (copies that keep their times, so
  # that a new configure rebuilds nothing).
  set(headers ${CMAKE_CURRENT_BINARY_DIR}/windows-python-include)
  file(COPY ${QUELLGATE_PYTHON_INCLUDE_DIR}/ DESTINATION ${headers} PATTERN pyconfig.h EXCLUDE)
  configure_file(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/pyconfig.h ${headers}/pyconfig.h COPYONLY)

  # python3.dll forwards each stable-ABI name to python3X.dll; the import
  # library lists those names. Data (PyExc_*, the type objects) is declared
  # __declspec(dllimport) by the headers, so it is reached through the
  # __imp_ pointers every entry of the import library has.
  execute_process(COMMAND ${QUELLGATE_OBJDUMP} -p ${QUELLGATE_PYTHON3_DLL}
                  OUTPUT_VARIABLE table COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX MATCHALL "Forwarder RVA -- python3[0-9]+\\.[A-Za-z0-9_]+" forwards "${table}")
  list(LENGTH forwards count)
  if(count LESS 500)
    message(FATAL_ERROR "${QUELLGATE_PYTHON3_DLL} forwards only ${count} names: not a python3.dll")
  endif()
  set(def "LIBRARY python3.dll\nEXPORTS\n")
  foreach(forward IN LISTS forwards)
    string(REGEX REPLACE ".*\\." "" name "${forward}")
    string(APPEND def "  ${name}\n")
  endforeach()
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/python3.def "${def}")
  set(import_library ${CMAKE_CURRENT_BINARY_DIR}/libpython3.dll.a)
  add_custom_command(OUTPUT ${import_library}
                     COMMAND ${QUELLGATE_DLLTOOL} --input-def ${CMAKE_CURRENT_BINARY_DIR}/python3.def
                             --dllname python3.dll --output-lib ${import_library}
                     DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/python3.def
                     COMMENT "Import library for python3.dll (${count} stable-ABI names)")
  add_custom_target(${target}_python3_import_library DEPENDS ${import_library})

  add_library(${target} MODULE ${ARGN})
  add_dependencies(${target} ${target}_python3_import_library)
  # Windows finds an abi3 module by the plain name: quellgate.pyd.
  set_target_properties(${target} PROPERTIES PREFIX "" SUFFIX ".pyd")
  target_include_directories(${target} SYSTEM PRIVATE ${headers})
  target_link_libraries(${target} PRIVATE ${import_library})
endfunction()

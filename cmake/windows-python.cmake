# The Python extension module, cross-built for 64-bit Windows with mingw-w64.
#
# CPython's headers are the same on every platform apart from pyconfig.h: the
# build copies them from LUMIGRAB_PYTHON_INCLUDE_DIR (this machine's CPython
# 3.11) with the hand-written Windows pyconfig.h of windows-python/ in place of
# the host's. The module links against an import library of python311.dll
# that dlltool makes from windows-python/python311.def, which names exactly the
# CPython symbols the module uses: with --no-undefined a symbol missing there
# fails the link.
#
# python.org's CPython uses the UCRT while Debian's mingw-w64 targets msvcrt,
# so no FILE* and no C-runtime allocation may pass between the module and
# CPython; the module only hands CPython its own objects and C strings.

set(LUMIGRAB_PYTHON_INCLUDE_DIR "" CACHE PATH
    "CPython 3.11's include directory, of any platform (its pyconfig.h is not used)")
if(NOT EXISTS "${LUMIGRAB_PYTHON_INCLUDE_DIR}/Python.h")
  message(FATAL_ERROR "LUMIGRAB_PYTHON_INCLUDE_DIR must name CPython 3.11's include directory")
endif()
file(STRINGS "${LUMIGRAB_PYTHON_INCLUDE_DIR}/patchlevel.h" _python_version
     REGEX "^#define PY_(MAJOR|MINOR)_VERSION")
if(NOT _python_version MATCHES "MAJOR_VERSION[ \t]+3;.*MINOR_VERSION[ \t]+11")
  message(FATAL_ERROR "${LUMIGRAB_PYTHON_INCLUDE_DIR} holds no CPython 3.11 headers")
endif()

find_program(LUMIGRAB_DLLTOOL NAMES x86_64-w64-mingw32-dlltool REQUIRED)

function(lumigrab_windows_python_module target)
  set(_config ${PROJECT_SOURCE_DIR}/cmake/windows-python)
  set(_include ${CMAKE_BINARY_DIR}/windows-python/include)
  file(REMOVE_RECURSE ${_include})
  file(COPY ${LUMIGRAB_PYTHON_INCLUDE_DIR}/ DESTINATION ${_include}
       PATTERN pyconfig.h EXCLUDE)
  configure_file(${_config}/pyconfig.h ${_include}/pyconfig.h COPYONLY)

  set(_implib ${CMAKE_BINARY_DIR}/windows-python/libpython311.a)
  add_custom_command(
    OUTPUT ${_implib}
    COMMAND ${LUMIGRAB_DLLTOOL} --input-def ${_config}/python311.def --dllname python311.dll
            --output-lib ${_implib}
    DEPENDS ${_config}/python311.def
    COMMENT "Making the import library of python311.dll"
    VERBATIM)
  add_custom_target(${target}_python311 DEPENDS ${_implib})

  add_library(${target} MODULE ${ARGN})
  add_dependencies(${target} ${target}_python311)
  target_include_directories(${target} SYSTEM PRIVATE ${_include})
  target_link_libraries(${target} PRIVATE ${_implib})
  target_link_options(${target} PRIVATE -Wl,--no-undefined)
  # GCC 12 at -O3 sees overlapping copies in libstdc++'s string concatenation
  # that cannot happen (GCC bug 105651), and mingw-w64's libstdc++ trips it.
  target_compile_options(${target} PRIVATE -Wno-restrict)
  set_target_properties(${target} PROPERTIES
    PREFIX ""
    OUTPUT_NAME "${target}.cp311-win_amd64"
    SUFFIX ".pyd")
endfunction()

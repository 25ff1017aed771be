# orlim_python_module(<target> DESTINATION <dir> SOURCES <files>...)
#
# A CPython extension module built on orlim_core, installed into <dir> of site-packages ("." for
# a top-level module such as _orlim, "orlim" for a module of the orlim package). With
# ORLIM_DEPS=pypi its run path finds the run-time packages from wherever the module sits:
# scipy-openblas32 beside the top-level modules and libtbb.so.12 in <prefix>/lib, two levels
# above site-packages (lib/pythonX.Y/site-packages) in a venv, a --user install or a system
# Python alike. OpenBLAS is loaded with dlopen from orlim_core, which searches the run path of
# the module it is linked into.
find_package(Python 3.9 REQUIRED COMPONENTS Interpreter Development.Module NumPy)

function(orlim_python_module target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "DESTINATION" "SOURCES")
  python_add_library(${target} MODULE WITH_SOABI ${arg_SOURCES})
  target_link_libraries(${target} PRIVATE orlim_core Python::NumPy)
  set_target_properties(${target} PROPERTIES CXX_VISIBILITY_PRESET hidden)
  if(ORLIM_DEPS STREQUAL "pypi")
    set(up "$ORIGIN")
    if(NOT arg_DESTINATION STREQUAL ".")
      string(REGEX REPLACE "[^/]+" ".." back "${arg_DESTINATION}")
      string(APPEND up "/${back}")
    endif()
    set_target_properties(${target} PROPERTIES INSTALL_RPATH
                          "${up}/scipy_openblas32/lib;${up}/../..")
  endif()
  install(TARGETS ${target} DESTINATION ${arg_DESTINATION})
endfunction()

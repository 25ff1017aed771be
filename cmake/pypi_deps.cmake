# oneTBB and OpenBLAS from the Python packages of the build environment: tbb-devel (headers and
# CMake package; its dependency tbb brings libtbb.so.12 into <prefix>/lib) and scipy-openblas32
# (OpenBLAS with "scipy_"-prefixed symbols, in <site-packages>/scipy_openblas32/lib). Both are
# build requirements in pyproject.toml, and tbb and scipy-openblas32 are run-time dependencies,
# so an installed module finds them through its run path (orlim_python_module) and needs
# neither root nor LD_LIBRARY_PATH.
find_package(Python 3.9 REQUIRED COMPONENTS Interpreter)

function(_orlim_ask_python out code what)
  execute_process(
    COMMAND "${Python_EXECUTABLE}" -c "${code}"
    OUTPUT_VARIABLE answer
    ERROR_VARIABLE why
    RESULT_VARIABLE failed
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(failed OR answer STREQUAL "")
    message(FATAL_ERROR
      "ORLIM_DEPS=pypi: ${what} not found for ${Python_EXECUTABLE} (${why}). Install it "
      "(pip install tbb-devel scipy-openblas32), build with pip's default build isolation, "
      "or configure with -DORLIM_DEPS=system to use the system's oneTBB and OpenBLAS.")
  endif()
  set(${out} "${answer}" PARENT_SCOPE)
endfunction()

_orlim_ask_python(_orlim_tbb_dir [=[
import importlib.metadata as m, pathlib
for f in m.files("tbb-devel") or ():
    if f.name == "TBBConfig.cmake":
        print(pathlib.Path(f.locate()).resolve().parent)
        break
]=] "the tbb-devel package")
_orlim_ask_python(_orlim_blas_dir [=[
import scipy_openblas32 as s
print(s.get_lib_dir())
]=] "the scipy-openblas32 package")

# The packages live in pip's temporary build environment, which is new for every build: the
# locations are looked up again on every configure, never taken from the cache.
unset(TBB_DIR CACHE)
unset(OpenBLAS_DIR CACHE)
# NO_DEFAULT_PATH: a system oneTBB or OpenBLAS must not be picked up instead of the packages the
# module will load at run time.
find_package(TBB REQUIRED CONFIG COMPONENTS tbb PATHS "${_orlim_tbb_dir}" NO_DEFAULT_PATH)
find_package(OpenBLAS REQUIRED CONFIG PATHS "${_orlim_blas_dir}/cmake/openblas" NO_DEFAULT_PATH)
set(ORLIM_OPENBLAS_NAME "libscipy_openblas.so")
set(ORLIM_BLAS_SYMBOL_PREFIX "scipy_")
message(STATUS "oneTBB from ${_orlim_tbb_dir}, OpenBLAS from ${OpenBLAS_LIBRARIES}")

# Locates Arrow C++ inside the pyarrow wheel of the given interpreter and
# defines the imported target Arrow::arrow. The wheel ships no CMake package
# of its own that we can rely on, so we ask pyarrow where its headers and
# libraries are, and read the C++ ABI from the library's symbols.

if(NOT QM_PYTHON)
  find_package(Python3 COMPONENTS Interpreter REQUIRED)
  set(QM_PYTHON "${Python3_EXECUTABLE}")
endif()

execute_process(
  COMMAND "${QM_PYTHON}" -c
    "import pyarrow as pa; pa.create_library_symlinks(); print(pa.get_include()); print(pa.get_library_dirs()[0]); print(pa.__version__)"
  OUTPUT_VARIABLE _qm_pa_out
  RESULT_VARIABLE _qm_pa_rc
  OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT _qm_pa_rc EQUAL 0)
  message(FATAL_ERROR "pyarrow is not importable by ${QM_PYTHON}; run 'make setup'")
endif()
string(REPLACE "\n" ";" _qm_pa_lines "${_qm_pa_out}")
list(GET _qm_pa_lines 0 QM_ARROW_INCLUDE_DIR)
list(GET _qm_pa_lines 1 QM_ARROW_LIB_DIR)
list(GET _qm_pa_lines 2 QM_PYARROW_VERSION)

find_library(QM_ARROW_LIB NAMES arrow PATHS "${QM_ARROW_LIB_DIR}" NO_DEFAULT_PATH REQUIRED)

# manylinux_2_28 wheels use the new libstdc++ ABI, older manylinux2014 ones
# the old one; the library's symbols tell which.
execute_process(
  COMMAND sh -c "nm -D --defined-only '${QM_ARROW_LIB}' | grep -c __cxx11"
  OUTPUT_VARIABLE _qm_cxx11_count
  OUTPUT_STRIP_TRAILING_WHITESPACE)
if(_qm_cxx11_count GREATER 0)
  set(QM_CXX11_ABI 1)
else()
  set(QM_CXX11_ABI 0)
endif()
message(STATUS "pyarrow ${QM_PYARROW_VERSION}: ${QM_ARROW_LIB} (_GLIBCXX_USE_CXX11_ABI=${QM_CXX11_ABI})")

add_library(Arrow::arrow SHARED IMPORTED)
set_target_properties(Arrow::arrow PROPERTIES
  IMPORTED_LOCATION "${QM_ARROW_LIB}"
  INTERFACE_INCLUDE_DIRECTORIES "${QM_ARROW_INCLUDE_DIR}"
  INTERFACE_COMPILE_DEFINITIONS "_GLIBCXX_USE_CXX11_ABI=${QM_CXX11_ABI}")

# Compares the symbols the shared library exports with the calls sonvar.h
# marks SONVAR_API: an unexpected export (an internal routine, a leaked C++
# template instance or runtime symbol) or a missing public call fails.
#   cmake -DLIBRARY=libsonvar.so -DHEADER=sonvar.h -P exported_symbols.cmake
# MARK names another header's export macro (default SONVAR_API), LEAST the
# fewest calls the header must declare (default 10).
if(NOT DEFINED MARK)
  set(MARK SONVAR_API)
endif()
if(NOT DEFINED LEAST)
  set(LEAST 10)
endif()
find_program(NM nm REQUIRED)
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
  OUTPUT_VARIABLE listing RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
# Lines read "address type name[@version]"; only code and data count.
string(REGEX MATCHALL "[0-9a-f]+ [BDGRSTVWiu] [^\n@]+" entries "${listing}")
set(exported "")
foreach(entry ${entries})
  string(REGEX REPLACE "^[0-9a-f]+ . " "" name "${entry}")
  list(APPEND exported "${name}")
endforeach()

# Declarations "SONVAR_API type name(": strip comments and the macro's own
# definition first.
file(READ ${HEADER} header)
string(REGEX REPLACE "/\\*([^*]|\\*+[^*/])*\\*+/" "" header "${header}")
string(REGEX REPLACE "#define ${MARK}[^\n]*" "" header "${header}")
string(REGEX MATCHALL "${MARK}[^;(]*[ *]([A-Za-z_][A-Za-z0-9_]*) *\\(" declarations "${header}")
set(public "")
foreach(declaration ${declarations})
  string(REGEX MATCH "([A-Za-z_][A-Za-z0-9_]*) *\\($" found "${declaration}")
  list(APPEND public "${CMAKE_MATCH_1}")
endforeach()
# A C++ class marked SONVAR_API (an exception type that must be caught
# across the library's boundary) exports its members, type information and
# virtual table: every symbol of sonvar::<class>.
string(REGEX MATCHALL "class SONVAR_API [A-Za-z_][A-Za-z0-9_]*" classes "${header}")
set(class_patterns "")
foreach(class ${classes})
  string(REGEX REPLACE "class SONVAR_API " "" class "${class}")
  string(LENGTH "${class}" length)
  list(APPEND class_patterns "N6sonvar${length}${class}[A-Z0-9]")
endforeach()
set(class_symbols "")
foreach(name ${exported})
  foreach(pattern ${class_patterns})
    if(name MATCHES "^_Z.*${pattern}")
      list(APPEND class_symbols "${name}")
    endif()
  endforeach()
endforeach()

list(LENGTH public count)
if(count LESS ${LEAST})
  message(FATAL_ERROR "found only ${count} ${MARK} calls in ${HEADER}")
endif()

set(unexpected ${exported})
list(REMOVE_ITEM unexpected ${public} ${class_symbols})
set(missing ${public})
list(REMOVE_ITEM missing ${exported})
if(unexpected OR missing)
  list(JOIN unexpected " " unexpected)
  list(JOIN missing " " missing)
  message(FATAL_ERROR "unexpected exports: ${unexpected}\nmissing public calls: ${missing}")
endif()
list(LENGTH class_symbols class_count)
message(STATUS "${count} public calls and ${class_count} symbols of exported classes, nothing else")

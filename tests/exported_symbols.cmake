# Compares the symbols the shared library exports with the calls sonvar.h
# marks SONVAR_API: an unexpected export (an internal routine, a leaked C++
# template instance or runtime symbol) or a missing public call fails.
#   cmake -DLIBRARY=libsonvar.so -DHEADER=sonvar.h -P exported_symbols.cmake
include(${CMAKE_CURRENT_LIST_DIR}/public_calls.cmake)
sonvar_nm(${LIBRARY} "-D;--defined-only" listing)
# Lines read "address type name[@version]"; only code and data count.
sonvar_symbol_names("${listing}" "[BDGRSTVWiu]" exported)
sonvar_public_calls(${HEADER})

# Every symbol of a class marked SONVAR_API (its members, type information
# and virtual table) is exported with it.
set(class_symbols "")
foreach(name ${exported})
  foreach(pattern ${PUBLIC_CLASS_PATTERNS})
    if(name MATCHES "^_Z.*${pattern}")
      list(APPEND class_symbols "${name}")
    endif()
  endforeach()
endforeach()

set(unexpected ${exported})
list(REMOVE_ITEM unexpected ${PUBLIC_CALLS} ${class_symbols})
set(missing ${PUBLIC_CALLS})
list(REMOVE_ITEM missing ${exported})
if(unexpected OR missing)
  list(JOIN unexpected " " unexpected)
  list(JOIN missing " " missing)
  message(FATAL_ERROR "unexpected exports: ${unexpected}\nmissing public calls: ${missing}")
endif()
list(LENGTH PUBLIC_CALLS count)
list(LENGTH class_symbols class_count)
message(STATUS "${count} public calls and ${class_count} symbols of exported classes, nothing else")

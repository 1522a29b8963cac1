# The public calls of sonvar.h, for the symbol tests: the functions marked
# SONVAR_API (into PUBLIC_CALLS) and the name patterns of the C++ classes
# marked SONVAR_API (an exception type that must be caught across the
# library's boundary; into PUBLIC_CLASS_PATTERNS, matched against mangled
# names). Fails when the header seems to hold fewer than 10 calls. Another
# header's export macro and fewest calls come from the variables MARK and
# LEAST where they are set (the beamformer's header).
#   include(public_calls.cmake); sonvar_public_calls(${HEADER})
function(sonvar_public_calls header_file)
  set(mark SONVAR_API)
  if(DEFINED MARK)
    set(mark ${MARK})
  endif()
  set(least 10)
  if(DEFINED LEAST)
    set(least ${LEAST})
  endif()
  # Declarations "SONVAR_API type name(": strip comments and the macro's own
  # definition first.
  file(READ ${header_file} header)
  string(REGEX REPLACE "/\\*([^*]|\\*+[^*/])*\\*+/" "" header "${header}")
  string(REGEX REPLACE "#define ${mark}[^\n]*" "" header "${header}")
  string(REGEX MATCHALL "${mark}[^;(]*[ *]([A-Za-z_][A-Za-z0-9_]*) *\\(" declarations
         "${header}")
  set(public "")
  foreach(declaration ${declarations})
    string(REGEX MATCH "([A-Za-z_][A-Za-z0-9_]*) *\\($" found "${declaration}")
    list(APPEND public "${CMAKE_MATCH_1}")
  endforeach()
  list(LENGTH public count)
  if(count LESS ${least})
    message(FATAL_ERROR "found only ${count} ${mark} calls in ${header_file}")
  endif()
  string(REGEX MATCHALL "class SONVAR_API [A-Za-z_][A-Za-z0-9_]*" classes "${header}")
  set(class_patterns "")
  foreach(class ${classes})
    string(REGEX REPLACE "class SONVAR_API " "" class "${class}")
    string(LENGTH "${class}" length)
    list(APPEND class_patterns "N6sonvar${length}${class}[A-Z0-9]")
  endforeach()
  set(PUBLIC_CALLS ${public} PARENT_SCOPE)
  set(PUBLIC_CLASS_PATTERNS ${class_patterns} PARENT_SCOPE)
endfunction()

# The listing of `nm <options> <library>` into `out`; fails when nm does.
function(sonvar_nm library options out)
  find_program(NM nm REQUIRED)
  execute_process(COMMAND ${NM} ${options} ${library} OUTPUT_VARIABLE listing
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "nm failed on ${library}")
  endif()
  set(${out} "${listing}" PARENT_SCOPE)
endfunction()

# The names of the defined symbols whose nm type letter is one of `types`
# (a bracket expression such as "[TBD]") in an nm listing, without versions.
function(sonvar_symbol_names listing types out)
  string(REGEX MATCHALL "[0-9a-f]+ ${types} [^\n@]+" entries "${listing}")
  set(names "")
  foreach(entry ${entries})
    string(REGEX REPLACE "^[0-9a-f]+ . " "" name "${entry}")
    list(APPEND names "${name}")
  endforeach()
  set(${out} ${names} PARENT_SCOPE)
endfunction()

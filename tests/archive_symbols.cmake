# Lists the global symbols the static library defines and fails on any that
# could meet a user's own names when a program links libsonvar.a: anything
# but the SONVAR_API calls of sonvar.h, the library's C++ names (namespace
# sonvar: its internals, their type information and guard variables) and
# the weak instances of the C++ runtime's templates and exception handling
# that every C++ object carries (they match the user's by definition). A
# public call the archive misses fails too.
#   cmake -DLIBRARY=libsonvar.a -DHEADER=sonvar.h -P archive_symbols.cmake
include(${CMAKE_CURRENT_LIST_DIR}/public_calls.cmake)
sonvar_nm(${LIBRARY} "-g;--defined-only" listing)
sonvar_symbol_names("${listing}" "[A-Za-z]" defined)
list(REMOVE_DUPLICATES defined)
sonvar_public_calls(${HEADER})

# Mangled names within namespace sonvar, with the prefixes of special names
# (type information, virtual tables, guard variables, local statics,
# thread-local wrappers) and of the exception tables' references to them.
set(own "^(DW\\.ref\\.)?_Z(N|NK|TIN|TSN|TVN|GVZN|ZN|THN|TWN)6sonvar")
# Weak instances of the C++ runtime's templates, the personality routine and
# clang's helper that calls std::terminate from a noexcept function.
set(runtime "^(DW\\.ref\\.)?(_Z(N|NK|TI|TS|TV|TIN|TSN|TVN)?St|_ZN9__gnu_cxx|_ZNK9__gnu_cxx|__gxx_personality_v0$|__clang_call_terminate$)")
sonvar_symbol_names("${listing}" "[VWu]" weak)

set(unexpected "")
foreach(name ${defined})
  if(name MATCHES "${own}")
    continue()
  endif()
  list(FIND PUBLIC_CALLS "${name}" at)
  if(NOT at EQUAL -1)
    continue()
  endif()
  list(FIND weak "${name}" weak_at)
  if(NOT weak_at EQUAL -1 AND name MATCHES "${runtime}")
    continue()
  endif()
  list(APPEND unexpected "${name}")
endforeach()
set(missing ${PUBLIC_CALLS})
list(REMOVE_ITEM missing ${defined})
if(unexpected OR missing)
  list(JOIN unexpected " " unexpected)
  list(JOIN missing " " missing)
  message(FATAL_ERROR "global symbols a user's program could meet: ${unexpected}\n"
                      "missing public calls: ${missing}")
endif()
list(LENGTH PUBLIC_CALLS count)
list(LENGTH defined total)
message(STATUS "${total} global symbols: the ${count} public calls, names in namespace sonvar "
               "and weak C++ runtime instances, nothing else")

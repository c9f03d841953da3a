cmake_policy(SET CMP0057 NEW)
# Lists the undefined symbols of every library object outside src/match
# and fails on any allocator among them, or a call that takes the heap for
# its scratch (glibc's qsort, for a list of some hundred records).
set(allocators malloc calloc realloc reallocarray free strdup strndup aligned_alloc
    posix_memalign memalign valloc asprintf vasprintf getline getdelim open_memstream qsort qsort_r
    _Znwm _Znwj _Znam _Znaj _ZdlPv _ZdlPvm _ZdlPvj _ZdaPv _ZdaPvm _ZdaPvj
    _ZnwmRKSt9nothrow_t _ZnwjRKSt9nothrow_t _ZnamRKSt9nothrow_t _ZnajRKSt9nothrow_t)
string(REPLACE "|" ";" objects "${OBJECTS}")
set(bad "")
set(checked 0)
foreach(obj IN LISTS objects)
  if(obj MATCHES "/match/")
    continue()
  endif()
  math(EXPR checked "${checked} + 1")
  execute_process(COMMAND readelf --wide --syms ${obj} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "readelf failed on ${obj}")
  endif()
  string(REPLACE "\n" ";" rows "${out}")
  foreach(row IN LISTS rows)
    if(row MATCHES " UND ([^ @]+)")
      if(CMAKE_MATCH_1 IN_LIST allocators)
        list(APPEND bad "${obj}: ${CMAKE_MATCH_1}")
      endif()
    endif()
  endforeach()
endforeach()
if(bad)
  string(REPLACE ";" "\n  " bad "${bad}")
  message(FATAL_ERROR "heap allocation outside the wildcard matchers:\n  ${bad}")
endif()
message(STATUS "${checked} objects checked: no allocator outside the matchers")

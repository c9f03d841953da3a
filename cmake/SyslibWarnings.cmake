# Warnings for the project's own targets (not for GoogleTest's sources).
function(syslib_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra
    $<$<BOOL:${SYSLIB_WERROR}>:-Werror>)
endfunction()

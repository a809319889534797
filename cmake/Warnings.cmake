# Project-wide warning and sanitizer flags, applied through pv_set_warnings().
function(pv_set_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(PV_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

if(PV_ASAN)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

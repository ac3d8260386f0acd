# Warnings and sanitizers for our own targets only (never for system packages).
function(kiv_target_options target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor)
  if(KIV_SANITIZE)
    string(REPLACE ";" "," _san "${KIV_SANITIZE}")
    target_compile_options(${target} PRIVATE -fsanitize=${_san} -fno-omit-frame-pointer -fno-sanitize-recover=all)
    target_link_options(${target} PRIVATE -fsanitize=${_san})
  endif()
endfunction()

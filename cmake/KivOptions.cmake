# Warnings and sanitizers for our own targets only (never for system packages).
function(kiv_target_options target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor)
  if(KIV_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
  # GCC 12 at -O2 and above reports impossible overlaps inside std::string's own
  # `"text" + std::string` (a known false positive of that release).
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    target_compile_options(${target} PRIVATE -Wno-restrict)
  endif()
  # Wherever Asio's fenced blocks are inlined into our code, GCC warns that ThreadSanitizer does
  # not model fences: a note on the sanitizer, not a fault of ours, so not an error in CI.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND KIV_SANITIZE MATCHES "(^|[,;])thread($|[,;])")
    target_compile_options(${target} PRIVATE -Wno-tsan)
  endif()
  if(KIV_SANITIZE)
    string(REPLACE ";" "," _san "${KIV_SANITIZE}")
    target_compile_options(${target} PRIVATE -fsanitize=${_san} -fno-omit-frame-pointer -fno-sanitize-recover=all)
    target_link_options(${target} PRIVATE -fsanitize=${_san})
  endif()
endfunction()

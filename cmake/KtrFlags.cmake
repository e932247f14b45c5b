# Sanitizers apply to everything, the framework included, so that no frame goes unchecked.
if(KTR_SANITIZE)
  add_compile_options(-fsanitize=${KTR_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${KTR_SANITIZE})
endif()
if(KTR_BUILD_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# Our own code is warning-free; the framework's headers are system headers.
function(ktr_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

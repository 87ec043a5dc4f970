# Warning flags for our own targets; SKYHELM_WERROR turns them into errors (CI does).
option(SKYHELM_WERROR "Treat warnings as errors" OFF)

add_library(skyhelm_warnings INTERFACE)
if(MSVC)
  target_compile_options(skyhelm_warnings INTERFACE /W4 $<$<BOOL:${SKYHELM_WERROR}>:/WX>)
else()
  target_compile_options(skyhelm_warnings INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion
    $<$<BOOL:${SKYHELM_WERROR}>:-Werror>)
endif()

# Sanitizers for the whole build (address,undefined by default when enabled).
set(SKYHELM_SANITIZE "" CACHE STRING "Comma-separated sanitizers, e.g. address,undefined")
if(SKYHELM_SANITIZE)
  add_compile_options(-fsanitize=${SKYHELM_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${SKYHELM_SANITIZE})
endif()

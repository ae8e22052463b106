# The version as the program prints it (-v) and the package carries it:
# the project's version with two digits for minor and patch, 1.01.04 for
# 1.1.4. This is the one place it is made; the code sees it through
# support/version.h.
function(kestrel_two_digits number result)
  if(number LESS 10)
    set(${result} "0${number}" PARENT_SCOPE)
  else()
    set(${result} "${number}" PARENT_SCOPE)
  endif()
endfunction()
kestrel_two_digits(${PROJECT_VERSION_MINOR} kestrel_minor)
kestrel_two_digits(${PROJECT_VERSION_PATCH} kestrel_patch)
set(KESTREL_VERSION_TEXT "${PROJECT_VERSION_MAJOR}.${kestrel_minor}.${kestrel_patch}")

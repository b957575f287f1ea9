# The hardening every Debian package is built with: stack protector, _FORTIFY_SOURCE, format
# checks, full RELRO with immediate binding, and position-independent executables. The flags are
# those dpkg-buildflags gives with "hardening=+all" when it is installed, else the same list as
# Debian 12 gives it. Stack clash protection and control-flow protection (x86) come on top when
# the compiler has them: later dpkg versions add them to the list, and hardening-check asks for
# them. Optimisation and debug flags are left to the build type, and the sanitizer builds keep
# their own flags (_FORTIFY_SOURCE and the sanitizers' interceptors do not mix).
option(UPDATER_HARDENING "Compile and link with the Debian hardening flags (builds without a sanitizer)" ON)

set(UPDATER_HARDENING_DEFAULT_CPPFLAGS -Wdate-time -D_FORTIFY_SOURCE=2)
set(UPDATER_HARDENING_DEFAULT_CXXFLAGS -fstack-protector-strong -Wformat -Werror=format-security)
set(UPDATER_HARDENING_DEFAULT_LDFLAGS -Wl,-z,relro -Wl,-z,now)

# The words of `dpkg-buildflags --get NAME` that harden the build, in ${out}; the default list
# when dpkg-buildflags is missing or fails.
function(updater_hardening_flags name out)
  set(flags ${UPDATER_HARDENING_DEFAULT_${name}})
  find_program(UPDATER_DPKG_BUILDFLAGS dpkg-buildflags)
  if(UPDATER_DPKG_BUILDFLAGS)
    execute_process(
      COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
              ${UPDATER_DPKG_BUILDFLAGS} --get ${name}
      OUTPUT_VARIABLE text OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE result ERROR_QUIET)
    if(result EQUAL 0)
      separate_arguments(flags UNIX_COMMAND "${text}")
      # -O and -g belong to the build type; the prefix map only rewrites the debug paths.
      list(FILTER flags EXCLUDE REGEX "^-(O.*|g.*|ffile-prefix-map=.*|fdebug-prefix-map=.*)$")
    endif()
  endif()
  set(${out} ${flags} PARENT_SCOPE)
endfunction()

include(CheckCXXCompilerFlag)

if(UPDATER_HARDENING AND NOT SANITIZE AND NOT CMAKE_CXX_FLAGS MATCHES "-fsanitize")
  updater_hardening_flags(CPPFLAGS cppflags)
  updater_hardening_flags(CXXFLAGS cxxflags)
  updater_hardening_flags(CFLAGS cflags)
  updater_hardening_flags(LDFLAGS ldflags)
  foreach(flag -fstack-clash-protection -fcf-protection)
    string(MAKE_C_IDENTIFIER "UPDATER_HAS${flag}" known)
    check_cxx_compiler_flag(${flag} ${known})
    if(${known} AND NOT flag IN_LIST cxxflags)
      list(APPEND cxxflags ${flag})
      list(APPEND cflags ${flag})
    endif()
  endforeach()
  # _FORTIFY_SOURCE needs optimisation: a build without it (Debug) would only get a warning
  # (an error with UPDATER_WERROR) and no checks.
  if(CMAKE_BUILD_TYPE STREQUAL "Debug")
    list(FILTER cppflags EXCLUDE REGEX "^-D_FORTIFY_SOURCE")
  endif()
  foreach(flag IN LISTS cppflags)
    add_compile_options(${flag})
  endforeach()
  foreach(flag IN LISTS cxxflags)
    add_compile_options($<$<COMPILE_LANGUAGE:CXX>:${flag}>)
  endforeach()
  foreach(flag IN LISTS cflags)
    add_compile_options($<$<COMPILE_LANGUAGE:C>:${flag}>)
  endforeach()
  add_link_options(${ldflags})
  include(CheckPIESupported)
  check_pie_supported()
  list(JOIN cppflags " " shown_cpp)
  list(JOIN cxxflags " " shown_cxx)
  list(JOIN ldflags " " shown_ld)
  message(STATUS "Hardening: ${shown_cpp} ${shown_cxx} ${shown_ld} -fPIE -pie")
endif()

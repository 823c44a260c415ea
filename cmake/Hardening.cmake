# The hardening Debian gives its packages, in every build: `make`, `make install` and the tests
# run the same binary that a package would hold, not a softer one.
#  - stack protector on functions with arrays or address-taken locals;
#  - fortified libc calls (buffer sizes checked where the compiler knows them), which need an
#    optimising build and are left out of sanitizer builds, whose own interceptors they would
#    hide; flags that already choose a level (dpkg-buildflags, a distribution's compiler) win;
#  - relocations resolved at start and their table made read-only, so that no function pointer
#    the loader fills in can be overwritten later;
#  - a position-independent executable, for address space layout randomisation.
include(CheckPIESupported)
check_pie_supported()
set(CMAKE_POSITION_INDEPENDENT_CODE ON)

add_compile_options(-fstack-protector-strong)
add_link_options(LINKER:-z,relro LINKER:-z,now)

if(NOT SYSAUDIO_SANITIZE AND NOT CMAKE_CXX_FLAGS MATCHES "_FORTIFY_SOURCE")
  # Undefined first: some compilers define a level of their own, and a second definition with
  # another value is a warning, an error here.
  set(optimising "$<NOT:$<CONFIG:Debug>>")
  add_compile_options("$<${optimising}:-U_FORTIFY_SOURCE>" "$<${optimising}:-D_FORTIFY_SOURCE=2>")
endif()

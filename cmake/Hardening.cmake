# The hardening a Debian package build applies (dpkg-buildflags with
# hardening=+all, less what the compiler already does): checked string and
# memory functions, stack protection, position-independent code, and
# relocations made read-only before the program starts. POSIX builds only:
# mingw-w64 would need libssp for the first two, and the Windows loader has
# its own equivalents.
include(CheckPIESupported)

if(VARNOK_HARDEN AND NOT WIN32)
  # The checked functions exist only in optimised code; in a Debug build the
  # definition would merely warn.
  add_compile_definitions($<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
  add_compile_options(-fstack-protector-strong)
  check_pie_supported(LANGUAGES CXX)
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
  add_link_options(LINKER:-z,relro LINKER:-z,now)
endif()

# Links the C++ runtime (libstdc++ and libgcc) into the program, so that it
# starts like a C program, loading the C library alone, and its package
# depends on that alone. The sanitizer runtimes expect the shared C++ runtime,
# so sanitized builds keep it.
function(varnok_link_runtime_statically target)
  if(NOT WIN32 AND NOT APPLE AND NOT VARNOK_SANITIZE AND NOT VARNOK_SANITIZE_THREAD
     AND NOT VARNOK_FUZZ
     AND CMAKE_CXX_COMPILER_ID MATCHES "^(GNU|Clang)$")
    target_link_options(${target} PRIVATE -static-libstdc++ -static-libgcc)
  endif()
endfunction()

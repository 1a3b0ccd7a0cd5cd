# The hardening Debian applies to its own packages, in every build of ours, so that what
# we test is what we ship: fortified libc calls, a stack protector, position-independent
# executables and read-only relocations resolved at start (full RELRO).
include(CheckPIESupported)
check_pie_supported(OUTPUT_VARIABLE pie_message LANGUAGES CXX)
if(NOT CMAKE_CXX_LINK_PIE_SUPPORTED)
    message(WARNING "The linker cannot make position-independent executables: ${pie_message}")
endif()
set(CMAKE_POSITION_INDEPENDENT_CODE ON)

add_compile_options(-fstack-protector-strong -Wformat -Wformat-security)
# _FORTIFY_SOURCE needs the optimiser; a Debug build would only get a warning from glibc.
# A packager's own -D_FORTIFY_SOURCE=N comes first on the line and is replaced, not
# redefined with a warning.
add_compile_options("$<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")
add_link_options(LINKER:-z,relro LINKER:-z,now)

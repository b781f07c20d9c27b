# Warnings for the project's own targets; Qt's headers are system headers.
add_compile_options(-Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-align
                    -Woverloaded-virtual -Wformat=2 -Wimplicit-fallthrough)

if(BRASVIK_SANITIZE STREQUAL "address")
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                        -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
elseif(BRASVIK_SANITIZE STREQUAL "thread")
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
elseif(NOT BRASVIK_SANITIZE STREQUAL "")
    message(FATAL_ERROR "BRASVIK_SANITIZE must be empty, address or thread")
endif()

# Debian's hardening flags for the release build the package comes from (scripts/package.sh):
# fortified libc calls (they need optimisation), stack protector and stack clash protection,
# control-flow protection (CET on x86, branch protection on arm64), read-only relocations bound
# at start. Off by default in the other builds, whose flags stay those of their build type.
if(CMAKE_BUILD_TYPE STREQUAL "Release" AND BRASVIK_SANITIZE STREQUAL "" AND NOT BRASVIK_FUZZ)
    set(brasvik_harden_default ON)
else()
    set(brasvik_harden_default OFF)
endif()
option(BRASVIK_HARDEN "Debian's hardening flags (default on in a Release build)"
       ${brasvik_harden_default})
if(BRASVIK_HARDEN)
    add_compile_options(-U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2 -fstack-protector-strong
                        -fstack-clash-protection)
    if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64|i[3-6]86)$")
        add_compile_options(-fcf-protection)
    elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
        add_compile_options(-mbranch-protection=standard)
    endif()
    add_link_options(LINKER:-z,relro LINKER:-z,now)
endif()

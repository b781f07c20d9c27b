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

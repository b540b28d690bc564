# halvard_assemble(<target> <source.s> <header.hpp> <Name>)
#
# Assembles <source.s> with halvard-asm at build time into <header.hpp> in the build tree and
# lets <target> `#include "<header.hpp>"`, which defines halvard::k<Name> (the bytes),
# k<Name>Origin and a constant for each `.export`ed label (see sim/asm/main.cpp).
#
# The assembler runs on the build machine, so a cross build makes it with the native compiler
# as a project of its own; every other build makes it as one of its targets.
if(CMAKE_CROSSCOMPILING)
    include(ExternalProject)
    set(HALVARD_ASM_DIR ${CMAKE_BINARY_DIR}/native-asm)
    set(HALVARD_ASM_COMMAND ${HALVARD_ASM_DIR}/halvard-asm)
    # Neither the toolchain file nor the target's flags reach it; BUILD_ALWAYS lets its own
    # build notice changed sources (a no-op otherwise).
    ExternalProject_Add(halvard_asm_native
        SOURCE_DIR ${PROJECT_SOURCE_DIR}/sim/asm
        BINARY_DIR ${HALVARD_ASM_DIR}
        CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release
        BUILD_ALWAYS ON
        INSTALL_COMMAND ""
        BUILD_BYPRODUCTS ${HALVARD_ASM_COMMAND})
    set(HALVARD_ASM_DEPENDS halvard_asm_native ${HALVARD_ASM_COMMAND})
else()
    add_subdirectory(${PROJECT_SOURCE_DIR}/sim/asm ${CMAKE_BINARY_DIR}/sim/asm)
    set(HALVARD_ASM_COMMAND $<TARGET_FILE:halvard-asm>)
    set(HALVARD_ASM_DEPENDS halvard-asm)
endif()

function(halvard_assemble target source header name)
    get_filename_component(source ${source} ABSOLUTE)
    set(dir ${CMAKE_CURRENT_BINARY_DIR}/assembled/${target})
    add_custom_command(
        OUTPUT ${dir}/${header}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
        COMMAND ${HALVARD_ASM_COMMAND} ${source} ${dir}/${header} ${name}
        DEPENDS ${source} ${HALVARD_ASM_DEPENDS}
        COMMENT "Assembling ${header} from ${source}"
        VERBATIM)
    target_sources(${target} PRIVATE ${dir}/${header})
    target_include_directories(${target} PUBLIC ${dir})
endfunction()

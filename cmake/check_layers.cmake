# Fails when a source folder includes a folder it may not: the host's folders are layers that
# only look down, and the virtual board shares nothing with the host but the target code.
# Run as `cmake -DROOT=<source dir> -P cmake/check_layers.cmake` (a test of the suite does).
#
# Each folder lists what it may include besides itself. The table is an order: a folder never
# names one above it, so no two folders can reach each other.
set(layers
    "base:"
    "target:"
    "line:base"
    "image:base"
    "pack:base"
    "monitor:line,target,base"
    "loader:line,target,base"
    "flash:monitor,line,target,base"
    "session:flash,monitor,loader,line,target,base"
    "ops:session,flash,monitor,loader,pack,image,line,target,base"
    "cmdline:ops,session,flash,loader,image,line,base"
    "simline:line,target,base,sim/board,sim/flash,sim/c166"
    "app:cmdline,ops,session,flash,monitor,loader,pack,image,line,simline,target,base"
    "sim/c166:"
    "sim/flash:"
    "sim/asm:sim/c166"
    "sim/board:sim/c166,sim/flash,target"
    "sim/tool:sim/board,sim/flash,sim/c166,target")

cmake_policy(SET CMP0007 NEW)

if(NOT ROOT)
    message(FATAL_ERROR "usage: cmake -DROOT=<source dir> -P check_layers.cmake")
endif()

set(known "")
foreach(entry IN LISTS layers)
    string(REPLACE ":" ";" parts "${entry}")
    list(GET parts 0 folder)
    list(APPEND known ${folder})
endforeach()

set(failures 0)
foreach(entry IN LISTS layers)
    string(FIND "${entry}" ":" colon)
    string(SUBSTRING "${entry}" 0 ${colon} folder)
    math(EXPR rest "${colon} + 1")
    string(SUBSTRING "${entry}" ${rest} -1 allowed)
    string(REPLACE "," ";" allowed "${allowed}")
    list(APPEND allowed ${folder})
    if(folder MATCHES "^sim/")
        set(dir "${ROOT}/${folder}")
    else()
        set(dir "${ROOT}/src/${folder}")
    endif()
    if(NOT IS_DIRECTORY "${dir}")
        message(SEND_ERROR "layer ${folder}: no folder ${dir}")
        math(EXPR failures "${failures} + 1")
        continue()
    endif()
    file(GLOB_RECURSE sources "${dir}/*.cpp" "${dir}/*.hpp")
    foreach(source IN LISTS sources)
        file(STRINGS "${source}" includes REGEX "^[ \t]*#[ \t]*include[ \t]+\"")
        foreach(line IN LISTS includes)
            string(REGEX REPLACE "^[^\"]*\"([^\"]*)\".*$" "\\1" path "${line}")
            # The folder an include names: "sim/board/x.hpp" -> sim/board, "line/x.hpp" -> line.
            if(path MATCHES "^sim/([^/]+)/")
                set(target "sim/${CMAKE_MATCH_1}")
            elseif(path MATCHES "^([^/]+)/")
                set(target "${CMAKE_MATCH_1}")
            else()
                continue()
            endif()
            list(FIND allowed "${target}" ok)
            if(ok EQUAL -1)
                file(RELATIVE_PATH shown "${ROOT}" "${source}")
                message(SEND_ERROR "${shown}: ${folder} may not include ${path}")
                math(EXPR failures "${failures} + 1")
            endif()
        endforeach()
    endforeach()
endforeach()

# Every host folder must have its place in the table, so that a new one cannot slip past.
file(GLOB entries RELATIVE "${ROOT}/src" "${ROOT}/src/*")
foreach(entry IN LISTS entries)
    if(IS_DIRECTORY "${ROOT}/src/${entry}")
        list(FIND known "${entry}" found)
        if(found EQUAL -1)
            message(SEND_ERROR "src/${entry} has no place in the layer table")
            math(EXPR failures "${failures} + 1")
        endif()
    endif()
endforeach()

if(failures GREATER 0)
    message(FATAL_ERROR "${failures} include(s) against the layers")
endif()
message(STATUS "layers: every include looks down")

# Writes one manual page from a program's --help with help2man, adding the --help of
# each subcommand as its own section, and compresses it as Debian expects.
#   cmake -DHELP2MAN=... -DPROGRAM=... -DNAME=... -DSUMMARY=... -DVERSION=...
#         -DSUBCOMMANDS="a;b" [-DDESCRIPTION=...] [-DSEE_ALSO=prog,prog...]
#         -DOUTPUT=dir/name.1.gz -P ManPage.cmake
# SUBCOMMANDS "*" takes the words listed under "Commands:" in the program's --help, so
# that a new subcommand gets its section without a change here.
get_filename_component(out_dir ${OUTPUT} DIRECTORY)
file(MAKE_DIRECTORY ${out_dir})
if(SUBCOMMANDS STREQUAL "*")
    execute_process(COMMAND ${PROGRAM} --help OUTPUT_VARIABLE help RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "${NAME} --help failed (${result})")
    endif()
    # The lines after "Commands:" up to the first empty line: "  name  summary".
    string(REGEX REPLACE "^.*\nCommands:\n" "" listed "${help}")
    string(REGEX REPLACE "\n\n.*$" "" listed "${listed}")
    string(REPLACE "\n" ";" lines "${listed}")
    set(words)
    foreach(line IN LISTS lines)
        if(line MATCHES "^  ([a-z][a-z-]*)")
            list(APPEND words ${CMAKE_MATCH_1})
        endif()
    endforeach()
    set(SUBCOMMANDS ${words})
endif()
set(include_file ${out_dir}/${NAME}.h2m)
set(text "")
foreach(command IN LISTS SUBCOMMANDS)
    execute_process(COMMAND ${PROGRAM} ${command} --help
                    OUTPUT_VARIABLE help RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "${NAME} ${command} --help failed (${result})")
    endif()
    # roff: a leading dot or quote would start a request; backslashes are escapes.
    string(REPLACE "\\" "\\e" help "${help}")
    string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")
    string(APPEND text ".SS \"${command}\"\n.nf\n${help}.fi\n")
endforeach()
set(sections "")
if(DESCRIPTION)
    string(APPEND sections "[DESCRIPTION]\n${DESCRIPTION}\n")
endif()
if(text)
    string(APPEND sections "[COMMANDS]\n${text}")
endif()
string(REPLACE "," ";" SEE_ALSO "${SEE_ALSO}")
list(REMOVE_ITEM SEE_ALSO ${NAME})
if(SEE_ALSO)
    list(TRANSFORM SEE_ALSO PREPEND ".BR ")
    list(TRANSFORM SEE_ALSO APPEND " (1)")
    list(JOIN SEE_ALSO ",\n" see_also)
    string(APPEND sections "[SEE ALSO]\n${see_also}\n")
endif()
set(include_option)
if(sections)
    file(WRITE ${include_file} "${sections}")
    set(include_option --include=${include_file})
endif()
# help2man takes further usage lines only in the "  or: NAME ..." form; the programs
# align them under the first. A wrapper of the program's name rewrites them.
set(wrapper_dir ${out_dir}/wrap)
file(MAKE_DIRECTORY ${wrapper_dir})
file(WRITE ${wrapper_dir}/${NAME}
     "#!/bin/bash\nset -o pipefail\n'${PROGRAM}' \"$@\" | sed -E 's/^ {6,}(${NAME} )/  or: \\1/'\n")
file(CHMOD ${wrapper_dir}/${NAME} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
set(page ${out_dir}/${NAME}.1)
execute_process(
    COMMAND ${HELP2MAN} --no-info --no-discard-stderr --version-string=${VERSION}
            --name=${SUMMARY} --section=1 ${include_option} --output=${page}
            ${wrapper_dir}/${NAME}
    RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "help2man failed for ${NAME} (${result})")
endif()
# Reproducible: no name or time stamp in the gzip header.
execute_process(COMMAND gzip -n -9 -f ${page} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "gzip failed for ${page}")
endif()

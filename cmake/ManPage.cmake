# Writes one manual page from a program's --help with help2man, adding the --help of
# each subcommand as its own section, and compresses it as Debian expects.
#   cmake -DHELP2MAN=... -DPROGRAM=... -DNAME=... -DSUMMARY=... -DVERSION=...
#         -DSUBCOMMANDS="a;b" -DOUTPUT=dir/name.1.gz -P ManPage.cmake
get_filename_component(out_dir ${OUTPUT} DIRECTORY)
file(MAKE_DIRECTORY ${out_dir})
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
if(text)
    file(WRITE ${include_file} "[COMMANDS]\n${text}")
else()
    file(WRITE ${include_file} "")
endif()
set(page ${out_dir}/${NAME}.1)
execute_process(
    COMMAND ${HELP2MAN} --no-info --no-discard-stderr --version-string=${VERSION}
            --name=${SUMMARY} --section=1 --include=${include_file} --output=${page} ${PROGRAM}
    RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "help2man failed for ${NAME} (${result})")
endif()
# Reproducible: no name or time stamp in the gzip header.
execute_process(COMMAND gzip -n -9 -f ${page} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "gzip failed for ${page}")
endif()

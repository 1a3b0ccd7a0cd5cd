# Installation of the programs' companions (menu entry, icon, systemd unit, manual
# pages, copyright and changelog) and the Debian package built by CPack.
include(GNUInstallDirs)
# The campaign window's own menu entry (vela --campaign), beside the window's.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/vela-campaign.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT vela)

install(FILES ${PROJECT_SOURCE_DIR}/packaging/vela.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/vela.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
# Shipped, not enabled: an operator who runs a test server enables it by hand. Under the
# prefix, so that /usr installs it in /usr/lib/systemd/system (merged /usr on Debian 12).
# Its ExecStart names the installed program, so it is written at install time, when the
# prefix is known (cpack installs under /usr, cmake --install under CMAKE_INSTALL_PREFIX).
set(unit ${CMAKE_BINARY_DIR}/packaging/vela-test-server.service)
install(CODE "
    set(unit_bindir \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    configure_file(\"${PROJECT_SOURCE_DIR}/packaging/vela-test-server.service.in\"
                   \"${unit}\" @ONLY)")
install(FILES ${unit} DESTINATION lib/systemd/system)

# Debian wants a copyright file and a compressed changelog in the package's doc folder.
set(doc_dir ${CMAKE_INSTALL_DATADIR}/doc/vela)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright DESTINATION ${doc_dir})
set(changelog ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(
    OUTPUT ${changelog}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
    COMMAND gzip -n -9 -c ${PROJECT_SOURCE_DIR}/packaging/changelog > ${changelog}
    DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog
    COMMENT "Compressed changelog"
    VERBATIM)
add_custom_target(vela_changelog ALL DEPENDS ${changelog})
install(FILES ${changelog} DESTINATION ${doc_dir})

# Manual pages: vela's is written by hand (it has no options); the others come from
# their --help through help2man, with each subcommand's --help as a section.
set(man_dir ${CMAKE_BINARY_DIR}/man)
set(vela_page ${man_dir}/vela.1.gz)
add_custom_command(
    OUTPUT ${vela_page}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${man_dir}
    COMMAND gzip -n -9 -c ${PROJECT_SOURCE_DIR}/packaging/vela.1 > ${vela_page}
    DEPENDS ${PROJECT_SOURCE_DIR}/packaging/vela.1
    COMMENT "Manual page for vela"
    VERBATIM)
set(man_pages ${vela_page})
find_program(HELP2MAN help2man)
if(HELP2MAN)
    # program | summary | subcommands | description (when --help has none)
    foreach(entry
            "velactl|configure GPS trackers over the air from the command line|encode,decode,db,settings,trackers,pdu,sms,listen,go,check-port|"
            "vela-sim|simulated GSM modem and GPS tracker for Vela|modem,tracker,fleet|Rehearses Vela without hardware: a GSM modem on a pseudo-terminal answers the AT dialogue and can deliver the wake-up SMS to a simulated tracker, which calls Vela, checks the configuration image it receives and answers. A fleet puts many such trackers behind several modems for campaigns."
            "vela-test-server|port-check test server for Vela||")
        string(REPLACE "|" ";" parts "${entry}")
        list(GET parts 0 program)
        list(GET parts 1 summary)
        list(GET parts 2 subcommands)
        list(GET parts 3 description)
        string(REPLACE "," "\\;" subcommands "${subcommands}")
        add_custom_command(
            OUTPUT ${man_dir}/${program}.1.gz
            COMMAND ${CMAKE_COMMAND} -DHELP2MAN=${HELP2MAN} -DPROGRAM=$<TARGET_FILE:${program}>
                    -DNAME=${program} -DSUMMARY=${summary} -DVERSION=${PROJECT_VERSION}
                    -DSUBCOMMANDS=${subcommands} -DDESCRIPTION=${description}
                    -DSEE_ALSO=vela,velactl,vela-sim,vela-test-server -DOUTPUT=${man_dir}/${program}.1.gz
                    -P ${PROJECT_SOURCE_DIR}/cmake/ManPage.cmake
            DEPENDS ${program} ${PROJECT_SOURCE_DIR}/cmake/ManPage.cmake
            COMMENT "Manual page for ${program}"
            VERBATIM)
        list(APPEND man_pages ${man_dir}/${program}.1.gz)
    endforeach()
else()
    message(STATUS "help2man not found: only vela's manual page is installed")
endif()
add_custom_target(manpages ALL DEPENDS ${man_pages})
install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "vela")
set(CPACK_PACKAGE_VENDOR "Vela developers")
set(CPACK_PACKAGE_CONTACT "Vela developers <vela@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "configures GPS trackers over the air")
# CPack puts the summary first and indents these lines.
set(CPACK_PACKAGE_DESCRIPTION
    "Vela encodes an XML configuration into a binary image, wakes a GPS tracker\nwith a binary SMS sent through a GSM modem and hands it the image when it\ncalls back. It comes with a command-line twin (velactl), a simulated modem\nand tracker (vela-sim) and a port-check test server (vela-test-server).")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "comm")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Loaded at run time, so shlibdeps cannot see them: the platform plugins (xcb, and
# offscreen for headless runs) and the SVG image plugin that draws the icon.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, libqt6svg6")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
# Folders the package shares with the system get the usual permissions.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)

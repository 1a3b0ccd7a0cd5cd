# Installation of the programs' companions (menu entry, icon, systemd unit, manual
# pages, bash completion, copyright and changelog) and the three Debian packages built
# by CPack, one per install component:
#   vela              the window (Qt Widgets)
#   vela-tools        velactl and vela-sim (no GUI libraries)
#   vela-test-server  the port-check server and its systemd unit (no Qt)
# The programs' own install() rules take their component from tools/CMakeLists.txt.
include(GNUInstallDirs)
# The campaign window's own menu entry (vela --campaign), beside the window's.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/vela-campaign.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT vela)

install(FILES ${PROJECT_SOURCE_DIR}/packaging/vela.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT vela)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/vela.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT vela)
# velactl's bash completion and its action-level manual pages (velactl-trackers-add(1)...)
# are generated from the option definitions of the built velactl, never kept by hand.
set(cli_reference ${CMAKE_BINARY_DIR}/cli-reference)
add_custom_command(
    OUTPUT ${cli_reference}/velactl.bash-completion
    COMMAND ${PROJECT_SOURCE_DIR}/scripts/gen-cli-reference $<TARGET_FILE:velactl>
            ${cli_reference} ${PROJECT_VERSION}
    DEPENDS velactl ${PROJECT_SOURCE_DIR}/scripts/gen-cli-reference
    COMMENT "velactl's bash completion and action pages"
    VERBATIM)
add_custom_target(velactl_reference ALL DEPENDS ${cli_reference}/velactl.bash-completion)
install(FILES ${cli_reference}/velactl.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
        RENAME velactl COMPONENT vela-tools)
install(DIRECTORY ${cli_reference}/man/ DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
        COMPONENT vela-tools FILES_MATCHING PATTERN "velactl-*.1.gz")
# Shipped, not enabled: an operator who runs a test server enables it by hand. Under the
# prefix, so that /usr installs it in /usr/lib/systemd/system (merged /usr on Debian 12).
# Its ExecStart names the installed program, so it is written at install time, when the
# prefix is known (cpack installs under /usr, cmake --install under CMAKE_INSTALL_PREFIX).
set(unit ${CMAKE_BINARY_DIR}/packaging/vela-test-server.service)
install(CODE "
    set(unit_bindir \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    configure_file(\"${PROJECT_SOURCE_DIR}/packaging/vela-test-server.service.in\"
                   \"${unit}\" @ONLY)" COMPONENT vela-test-server)
install(FILES ${unit} DESTINATION lib/systemd/system COMPONENT vela-test-server)
# The unattended station's template unit goes with velactl, shipped disabled as well:
# an operator enables one instance per station configuration file.
set(station_unit ${CMAKE_BINARY_DIR}/packaging/vela-station@.service)
install(CODE "
    set(unit_bindir \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    configure_file(\"${PROJECT_SOURCE_DIR}/packaging/vela-station@.service.in\"
                   \"${station_unit}\" @ONLY)" COMPONENT vela-tools)
install(FILES ${station_unit} DESTINATION lib/systemd/system COMPONENT vela-tools)
install(FILES ${PROJECT_SOURCE_DIR}/examples/station.conf
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/vela-tools/examples COMPONENT vela-tools)

# Debian wants a copyright file and a compressed changelog in each package's doc folder.
set(changelog ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(
    OUTPUT ${changelog}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
    COMMAND gzip -n -9 -c ${PROJECT_SOURCE_DIR}/packaging/changelog > ${changelog}
    DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog
    COMMENT "Compressed changelog"
    VERBATIM)
add_custom_target(vela_changelog ALL DEPENDS ${changelog})
foreach(package vela vela-tools vela-test-server)
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${changelog}
            DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${package})
endforeach()
# Samples the documentation copies: a configuration file and a test-server.ini for the
# tools, the service's settings for the test server.
install(FILES ${PROJECT_SOURCE_DIR}/examples/sample-config.xml
              ${PROJECT_SOURCE_DIR}/examples/test-server.ini
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/vela-tools/examples COMPONENT vela-tools)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/vela-test-server.default
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/vela-test-server/examples
        RENAME vela-test-server COMPONENT vela-test-server)

# Manual pages: vela's is written by hand (it describes the window); the others come from
# their --help through help2man, with each subcommand's --help as a section. Each page
# goes into the package of its program.
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
install(FILES ${vela_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT vela)
find_program(HELP2MAN help2man)
if(HELP2MAN)
    # program | package | summary | subcommands ("*": those its --help lists) |
    # description (when --help has none)
    foreach(entry
            "velactl|vela-tools|configure GPS trackers over the air from the command line|*|Each action also has its own page: velactl-trackers-add(1), velactl-campaign-run(1) and so on. The environment: VELA_DIR (the data directory), VELA_DATABASE (a shared PostgreSQL database, password allowed), PGPASSFILE (the PostgreSQL password file), XDG_DATA_HOME (the base of --user-data) and VELA_TRACE (a file that gets every byte to and from the modem, owner-only)."
            "vela-sim|vela-tools|simulated GSM modem and GPS tracker for Vela|*|Rehearses Vela without hardware: a GSM modem on a pseudo-terminal answers the AT dialogue and can deliver the wake-up SMS to a simulated tracker, which calls Vela, checks the configuration image it receives and answers. A fleet puts many such trackers behind several modems for campaigns."
            "vela-test-server|vela-test-server|port-check test server for Vela||")
        string(REPLACE "|" ";" parts "${entry}")
        list(GET parts 0 program)
        list(GET parts 1 package)
        list(GET parts 2 summary)
        list(GET parts 3 subcommands)
        list(GET parts 4 description)
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
        install(FILES ${man_dir}/${program}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
                COMPONENT ${package})
    endforeach()
else()
    message(STATUS "help2man not found: only vela's manual page is installed")
endif()
add_custom_target(manpages ALL DEPENDS ${man_pages})

set(CPACK_GENERATOR "DEB")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL vela vela-tools vela-test-server)
set(CPACK_PACKAGE_NAME "vela")
set(CPACK_PACKAGE_VENDOR "Vela developers")
set(CPACK_PACKAGE_CONTACT "Vela developers <vela@example.org>")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "comm")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
# Folders the packages share with the system get the usual permissions.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# The first line of each description is that package's summary. The project has no
# DESCRIPTION, so CPack puts no common summary in front of them.
set(CPACK_DEBIAN_VELA_PACKAGE_NAME "vela")
set(CPACK_COMPONENT_VELA_DESCRIPTION
    "configures GPS trackers over the air\nVela encodes an XML configuration into a binary image, wakes a GPS tracker\nwith a binary SMS sent through a GSM modem and hands it the image when it\ncalls back. This package holds the window; vela-tools holds its command-line\ntwin and the simulators.")
# Loaded at run time, so shlibdeps cannot see them: the platform plugins (xcb, and
# offscreen for headless runs) and the SVG image plugin that draws the icon.
set(CPACK_DEBIAN_VELA_PACKAGE_DEPENDS "qt6-qpa-plugins, libqt6svg6")
set(CPACK_DEBIAN_VELA_PACKAGE_RECOMMENDS "vela-tools")

set(CPACK_DEBIAN_VELA-TOOLS_PACKAGE_NAME "vela-tools")
set(CPACK_COMPONENT_VELA-TOOLS_DESCRIPTION
    "command-line tools for configuring GPS trackers over the air\nvelactl runs Vela's configuration runs without a window and manages its\nsettings, trackers and database; vela-sim simulates a GSM modem and a\nGPS tracker for rehearsals without hardware. No GUI libraries needed.")

set(CPACK_DEBIAN_VELA-TEST-SERVER_PACKAGE_NAME "vela-test-server")
set(CPACK_DEBIAN_VELA-TEST-SERVER_PACKAGE_SECTION "net")
set(CPACK_COMPONENT_VELA-TEST-SERVER_DESCRIPTION
    "port-check test server for Vela\nCalls an installation of Vela back on the address and port it claims, to\nprove that the port is reachable from outside. Ships a hardened systemd\nunit that the administrator enables; no Qt needed.")
# Restarted on upgrade when it runs, stopped on removal; never enabled or started by
# the package itself.
set(test_server_scripts ${CMAKE_BINARY_DIR}/packaging/vela-test-server-scripts)
foreach(script postinst prerm postrm)
    configure_file(${PROJECT_SOURCE_DIR}/packaging/vela-test-server.${script}
                   ${test_server_scripts}/${script} COPYONLY)
    file(CHMOD ${test_server_scripts}/${script} PERMISSIONS
         OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    list(APPEND test_server_control ${test_server_scripts}/${script})
endforeach()
set(CPACK_DEBIAN_VELA-TEST-SERVER_PACKAGE_CONTROL_EXTRA ${test_server_control})
set(CPACK_DEBIAN_VELA-TEST-SERVER_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)

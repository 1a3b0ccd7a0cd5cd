# Installation of the programs' companions (menu entry, icon, systemd unit, manual
# pages) and the Debian package built by CPack.
include(GNUInstallDirs)

install(FILES ${PROJECT_SOURCE_DIR}/packaging/vela.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/vela.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
# Shipped, not enabled: an operator who runs a test server enables it by hand.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/vela-test-server.service
        DESTINATION lib/systemd/system)

# Manual pages generated from the programs' --help.
find_program(HELP2MAN help2man)
if(HELP2MAN)
    set(man_dir ${CMAKE_BINARY_DIR}/man)
    set(man_pages)
    foreach(entry
            "velactl|configure GPS trackers over the air from the command line"
            "vela-sim|simulated GSM modem and GPS tracker for Vela"
            "vela-test-server|port-check test server for Vela")
        string(REPLACE "|" ";" parts "${entry}")
        list(GET parts 0 program)
        list(GET parts 1 summary)
        add_custom_command(
            OUTPUT ${man_dir}/${program}.1
            COMMAND ${CMAKE_COMMAND} -E make_directory ${man_dir}
            COMMAND ${HELP2MAN} --no-info --no-discard-stderr
                    --version-string=${PROJECT_VERSION} --name=${summary}
                    --output=${man_dir}/${program}.1 $<TARGET_FILE:${program}>
            DEPENDS ${program}
            COMMENT "Manual page for ${program}"
            VERBATIM)
        list(APPEND man_pages ${man_dir}/${program}.1)
    endforeach()
    add_custom_target(manpages ALL DEPENDS ${man_pages})
    install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "vela")
set(CPACK_PACKAGE_VENDOR "Vela developers")
set(CPACK_PACKAGE_CONTACT "Vela developers <vela@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Configures GPS trackers over the air")
set(CPACK_PACKAGE_DESCRIPTION
    "Vela encodes an XML configuration into a binary image, wakes a GPS tracker with a\n binary SMS through a GSM modem and hands it the image when it calls back.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "comm")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
include(CPack)

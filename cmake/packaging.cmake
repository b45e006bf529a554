# The Debian package (tools/package.sh): the three programs, the desktop entry and its icons,
# the AppStream metadata, manuals made from the programs' own --help, and the documents a
# Debian package carries. Nothing under the user's home is shipped or touched: the window
# keeps its log and remembered login in the user's XDG data folder, so an upgrade or a purge
# leaves them as they are.
include(GNUInstallDirs)

set(VELLICOR_APP_ID "org.vellicor.vellicor" CACHE STRING "Desktop and AppStream id")
set(VELLICOR_HOMEPAGE "https://vellicor.example.org" CACHE STRING
    "Home page; the AppStream screenshot is <home page>/screenshot.png")
set(VELLICOR_MAINTAINER "Vellicor maintainers <maintainers@users.noreply.c-seed-da75a49a.example>"
    CACHE STRING "The package's maintainer")

# Installing needs only the programs and the icon writer, not every test and benchmark.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

# Writes the icon the window draws into the hicolor theme, one PNG a size.
add_executable(vellicor-icon-export EXCLUDE_FROM_ALL
    packaging/icon_export.cpp src/app/app_icon.cpp)
target_include_directories(vellicor-icon-export PRIVATE ${CMAKE_SOURCE_DIR}/src)
target_link_libraries(vellicor-icon-export PRIVATE Qt6::Gui vellicor_warnings)

# The release the metadata names is dated by the last commit (today's date outside git).
execute_process(COMMAND git log -1 --format=%cs WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
    OUTPUT_VARIABLE VELLICOR_RELEASE_DATE OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(NOT VELLICOR_RELEASE_DATE)
    string(TIMESTAMP VELLICOR_RELEASE_DATE "%Y-%m-%d" UTC)
endif()
set(metainfo ${CMAKE_BINARY_DIR}/packaging/${VELLICOR_APP_ID}.metainfo.xml)
configure_file(packaging/vellicor.metainfo.xml.in ${metainfo} @ONLY)

install(TARGETS vellicor vellicor-cli vellicor-portal RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES packaging/vellicor.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications
    RENAME ${VELLICOR_APP_ID}.desktop)
install(FILES ${metainfo} DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES packaging/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES config/vellicor.example.ini DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
# Unattended runs: a template service and timer per /etc/vellicor/NAME.ini, run as a system
# user of their own that the package's postinst creates from the sysusers entry.
install(FILES packaging/systemd/vellicor-exchange@.service packaging/systemd/vellicor-exchange@.timer
    DESTINATION lib/systemd/system)
install(FILES packaging/systemd/vellicor-exchange.sysusers DESTINATION lib/sysusers.d
    RENAME vellicor-exchange.conf)
install(FILES docs/several-machines.sh DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

# Made at install time by the built programs themselves: the icons, the manuals and the
# changelog (dated by SOURCE_DATE_EPOCH when set). tools/package.sh names the package's
# version in VELLICOR_PACKAGE_VERSION when it differs from the project's (a dirty tree).
set(man_script ${CMAKE_SOURCE_DIR}/packaging/make-man.sh)
set(summary_vellicor "the window of the ticket mall's exchange tool")
set(summary_vellicor-cli "the headless front end of the ticket mall's exchange tool")
set(summary_vellicor-portal "a simulator of the game portal and its ticket mall, on loopback")
install(CODE "
    set(root \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
    execute_process(COMMAND \"$<TARGET_FILE:vellicor-icon-export>\"
        \"\${root}/${CMAKE_INSTALL_DATADIR}/icons/hicolor\" RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR \"the icons were not written (build vellicor-icon-export first)\")
    endif()")
foreach(program IN ITEMS vellicor vellicor-cli vellicor-portal)
    install(CODE "
        set(dir \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_MANDIR}/man1\")
        file(MAKE_DIRECTORY \"\${dir}\")
        execute_process(COMMAND bash \"${man_script}\" ${program} \"$<TARGET_FILE:${program}>\"
            \"${summary_${program}}\" \"\${dir}/${program}.1.gz\" RESULT_VARIABLE rc)
        if(NOT rc EQUAL 0)
            message(FATAL_ERROR \"the manual page of ${program} was not written\")
        endif()")
endforeach()
install(CODE "
    set(version \"\$ENV{VELLICOR_PACKAGE_VERSION}\")
    if(NOT version)
        set(version \"${VELLICOR_VERSION}\")
    endif()
    string(TIMESTAMP date \"%a, %d %b %Y %H:%M:%S +0000\" UTC)
    set(doc \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DOCDIR}\")
    file(MAKE_DIRECTORY \"\${doc}\")
    file(WRITE \"\${doc}/changelog\" \"vellicor (\${version}) unstable; urgency=medium

  * Release \${version}.

 -- ${VELLICOR_MAINTAINER}  \${date}
\")
    execute_process(COMMAND gzip -9nf \"\${doc}/changelog\" RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR \"the changelog was not compressed\")
    endif()")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vellicor)
set(CPACK_PACKAGE_VERSION ${VELLICOR_VERSION})
set(CPACK_PACKAGE_CONTACT "${VELLICOR_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "exchange tool for a game portal's ticket mall")
# CPack indents each line and writes an empty one as " .".
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Vellicor logs one user of the game portal in inside its window, shows the
ticket balances, and at the set instant fires many exchange requests for the
ticked items, reporting every answer in its log box. It also does the
portal's daily sign-in and plays background music.

The package holds the window (vellicor), a headless front end (vellicor-cli)
and a simulator of the portal (vellicor-portal), which both front ends use
when no portal is configured.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Beside the libraries the binaries link: the browser engine's helper process, Qt's display
# plugins, and the soundfont the music plays.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6webenginecore6-bin, qt6-qpa-plugins, timgm6mb-soundfont")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-wqy-microhei")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/packaging/postinst)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
    GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)

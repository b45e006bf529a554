# The version is set once, in project(VERSION): the programs print it, the package carries
# it, and its fourth part is the release number the publisher's page announces (the window's
# title and the update check). Without a version everything still builds, marked as such.
if(PROJECT_VERSION)
    if(PROJECT_VERSION_TWEAK STREQUAL "")
        message(FATAL_ERROR "project(VERSION ${PROJECT_VERSION}) needs four parts; the last is "
            "the release number the publisher's page announces")
    endif()
    set(VELLICOR_VERSION ${PROJECT_VERSION})
    set(VELLICOR_RELEASE ${PROJECT_VERSION_TWEAK})
else()
    message(WARNING "project() sets no VERSION: the programs and the package say 0~unversioned")
    set(VELLICOR_VERSION 0~unversioned)
    set(VELLICOR_RELEASE 0)
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/version.h.in
    ${CMAKE_BINARY_DIR}/include/version/vellicor_version.h @ONLY)
include_directories(${CMAKE_BINARY_DIR}/include/version)

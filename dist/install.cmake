# Installs the units, the udev rule and the SysV script. It runs at install
# time, because only then is the prefix final: `cmake --install build
# --prefix /usr` installs for another prefix than the one configured, and the
# units must name the programs where they are installed. dist/CMakeLists.txt
# sets GLIMMER_DIST_* before this runs; a relative directory is one under the
# prefix. file(INSTALL) puts $DESTDIR before every destination.

function(glimmer_under_prefix out dir)
    if(IS_ABSOLUTE "${dir}")
        set(${out} "${dir}" PARENT_SCOPE)
    elseif(CMAKE_INSTALL_PREFIX STREQUAL "/")
        set(${out} "/${dir}" PARENT_SCOPE)
    else()
        set(${out} "${CMAKE_INSTALL_PREFIX}/${dir}" PARENT_SCOPE)
    endif()
endfunction()

glimmer_under_prefix(GLIMMER_BINDIR "${GLIMMER_DIST_BINDIR}")
# Configuration lives in /etc for the system prefixes, as GNUInstallDirs has it.
if(IS_ABSOLUTE "${GLIMMER_DIST_SYSCONFDIR}")
    set(GLIMMER_SYSCONFDIR "${GLIMMER_DIST_SYSCONFDIR}")
elseif(CMAKE_INSTALL_PREFIX MATCHES "^/(usr/?)?$")
    set(GLIMMER_SYSCONFDIR "/${GLIMMER_DIST_SYSCONFDIR}")
elseif(CMAKE_INSTALL_PREFIX MATCHES "^/opt/")
    set(GLIMMER_SYSCONFDIR "/${GLIMMER_DIST_SYSCONFDIR}${CMAKE_INSTALL_PREFIX}")
else()
    set(GLIMMER_SYSCONFDIR "${CMAKE_INSTALL_PREFIX}/${GLIMMER_DIST_SYSCONFDIR}")
endif()
glimmer_under_prefix(unit_dir "${GLIMMER_DIST_UNIT_DIR}")
glimmer_under_prefix(rules_dir "${GLIMMER_DIST_RULES_DIR}")

set(GLIMMER_PROGRESS_WANTS "")
list(FIND GLIMMER_DIST_UNITS glimmer-progress.service progress)
if(progress GREATER -1)
    set(GLIMMER_PROGRESS_WANTS "Wants=glimmer-progress.service")
endif()

set(made "${GLIMMER_DIST_BINARY_DIR}/installed")
foreach(unit ${GLIMMER_DIST_UNITS})
    configure_file("${GLIMMER_DIST_SOURCE_DIR}/${unit}.in" "${made}/${unit}" @ONLY)
    file(INSTALL DESTINATION "${unit_dir}" TYPE FILE FILES "${made}/${unit}")
endforeach()
file(INSTALL DESTINATION "${rules_dir}" TYPE FILE FILES
     "${GLIMMER_DIST_SOURCE_DIR}/90-glimmer.rules")
if(GLIMMER_DIST_SYSV)
    configure_file("${GLIMMER_DIST_SOURCE_DIR}/glimmer.init.in" "${made}/init.d/glimmer" @ONLY)
    file(INSTALL DESTINATION "${GLIMMER_SYSCONFDIR}/init.d" TYPE PROGRAM FILES
         "${made}/init.d/glimmer")
endif()

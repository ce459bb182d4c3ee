# Installs the build into a staging directory for each prefix of the table and
# checks the result. Run by CTest (tests/install/CMakeLists.txt).

set(failures 0)
macro(fail message)
    message(SEND_ERROR "${prefix}: ${message}")
    math(EXPR failures "${failures} + 1")
endmacro()

# Whether a unit file holds this exact line.
macro(expect_line text line what)
    string(FIND "\n${text}\n" "\n${line}\n" at)
    if(at LESS 0)
        fail("${what}: no line \"${line}\"")
    endif()
endmacro()

foreach(prefix /usr /usr/local /opt/glimmer)
    file(REMOVE_RECURSE "${STAGE_DIR}")
    set(ENV{DESTDIR} "${STAGE_DIR}")
    execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${prefix}"
                    RESULT_VARIABLE result OUTPUT_QUIET ERROR_VARIABLE error)
    unset(ENV{DESTDIR})
    if(NOT result EQUAL 0)
        fail("cmake --install failed: ${error}")
        continue()
    endif()

    if(IS_ABSOLUTE "${UNIT_DIR}")
        set(units "${STAGE_DIR}${UNIT_DIR}")
    else()
        set(units "${STAGE_DIR}${prefix}/${UNIT_DIR}")
    endif()
    set(bin "${prefix}/bin")
    foreach(program glimmer glimmer-write glimmer-restore)
        if(NOT EXISTS "${STAGE_DIR}${bin}/${program}")
            fail("${program} is not in ${bin}")
        endif()
    endforeach()
    file(READ "${units}/glimmer.service" service)
    expect_line("${service}" "ExecStart=${bin}/glimmer $GLIMMER_OPTIONS" glimmer.service)
    expect_line("${service}" "ExecStopPost=-${bin}/glimmer-restore" glimmer.service)
    if(service MATCHES "@")
        fail("glimmer.service has unfilled fields")
    endif()
    if(EXISTS "${STAGE_DIR}${bin}/glimmer-progress")
        file(READ "${units}/glimmer-progress.service" progress)
        expect_line("${progress}" "ExecStart=${bin}/glimmer-progress" glimmer-progress.service)
        expect_line("${service}" "Wants=glimmer-progress.service" glimmer.service)
    elseif(EXISTS "${units}/glimmer-progress.service")
        fail("a unit for a glimmer-progress that was not built")
    endif()

    # systemd looks for units in /lib, /usr/lib and /usr/local/lib: enabling
    # must work for a prefix whose units land there.
    string(REPLACE "${STAGE_DIR}" "" installed_units "${units}")
    if(SYSTEMCTL AND installed_units MATCHES "^(/usr|/usr/local)?/lib/systemd/system$")
        execute_process(COMMAND ${SYSTEMCTL} --root=${STAGE_DIR} enable glimmer.service
                                glimmer-quit.service
                        RESULT_VARIABLE result OUTPUT_QUIET ERROR_VARIABLE error)
        if(NOT result EQUAL 0)
            fail("systemctl --root enable failed: ${error}")
        endif()
        set(wants "${STAGE_DIR}/etc/systemd/system")
        if(NOT IS_SYMLINK "${wants}/sysinit.target.wants/glimmer.service" OR
           NOT IS_SYMLINK "${wants}/multi-user.target.wants/glimmer-quit.service")
            fail("the units were not enabled")
        endif()
    endif()
endforeach()
file(REMOVE_RECURSE "${STAGE_DIR}")
if(failures GREATER 0)
    message(FATAL_ERROR "${failures} install checks failed")
endif()

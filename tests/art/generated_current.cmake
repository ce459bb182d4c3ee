# Runs the art generators into a scratch directory and checks that they
# reproduce the stored picture sources, and that the PNG converter turns the
# rendered splash PNG back into the same stream.
#
# cmake -DBAR=... -DSPLASH=... -DPNG2RLE=... -DASSETS=... -DWORK=... -P generated_current.cmake
file(MAKE_DIRECTORY ${WORK})

function(run)
    execute_process(COMMAND ${ARGV} RESULT_VARIABLE rc OUTPUT_QUIET)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "${ARGV} failed: ${rc}")
    endif()
endfunction()

# A source without its first line, the comment that names the command.
function(body path out)
    file(READ ${path} text)
    string(FIND "${text}" "\n" nl)
    math(EXPR nl "${nl} + 1")
    string(SUBSTRING "${text}" ${nl} -1 text)
    set(${out} "${text}" PARENT_SCOPE)
endfunction()

function(expect_same a b)
    body(${a} ta)
    body(${b} tb)
    if(NOT ta STREQUAL tb)
        message(FATAL_ERROR "${a} and ${b} differ")
    endif()
endfunction()

run(${BAR} ${WORK}/bar_frame_image.cpp)
expect_same(${WORK}/bar_frame_image.cpp ${ASSETS}/bar_frame_image.cpp)
run(${SPLASH} --png ${WORK}/splash.png ${WORK}/splash_image.cpp)
expect_same(${WORK}/splash_image.cpp ${ASSETS}/splash_image.cpp)
run(${PNG2RLE} ${WORK}/splash.png ${WORK}/converted.cpp)
expect_same(${WORK}/converted.cpp ${ASSETS}/splash_image.cpp)

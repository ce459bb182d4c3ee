# Good themes give the header lines listed; bad ones are refused with a
# message that names the setting.
#   cmake -DWORK=DIR -P theme_cases.cmake
cmake_minimum_required(VERSION 3.20)
file(MAKE_DIRECTORY ${WORK})
file(WRITE ${WORK}/dark.cmake "set(GLIMMER_BACKGROUND \"#101418\")\nset(GLIMMER_BAR_FILL 3A7BD5)\n"
     "set(GLIMMER_BAR_POSITION 0.75)\nset(GLIMMER_SCALE auto)\n")
file(WRITE ${WORK}/bad.cmake "set(GLIMMER_TEXT_COLOUR \"#12345\")\n")

# name | arguments (,-separated) | "ok" or "refused" | text the header or the message holds
set(cases
    "default||ok|THEME_BACKGROUND = {255, 255, 255}"
    "default bar place||ok|THEME_BAR_POSITION_NUM = 5, THEME_BAR_POSITION_DEN = 6"
    "colour without hash|-DGLIMMER_BAR_FILL=00ff80|ok|THEME_BAR_FILL = {0, 255, 128}"
    "theme file|-DGLIMMER_THEME=${WORK}/dark.cmake|ok|THEME_BACKGROUND = {16, 20, 24}"
    "theme file's decimal share|-DGLIMMER_THEME=${WORK}/dark.cmake|ok|THEME_BAR_POSITION_NUM = 75, THEME_BAR_POSITION_DEN = 100"
    "theme file's auto scale|-DGLIMMER_THEME=${WORK}/dark.cmake|ok|THEME_SCALE = 0"
    "setting wins over the file|-DGLIMMER_THEME=${WORK}/dark.cmake,-DGLIMMER_BAR_FILL=#FF0000|ok|THEME_BAR_FILL = {255, 0, 0}"
    "scale 3|-DGLIMMER_SCALE=3|ok|THEME_SCALE = 3"
    "short colour|-DGLIMMER_BACKGROUND=#FFF|refused|GLIMMER_BACKGROUND: \"#FFF\" is not a colour"
    "colour name|-DGLIMMER_FRAME_OUTLINE=red|refused|GLIMMER_FRAME_OUTLINE: \"red\" is not a colour"
    "not hex|-DGLIMMER_BAR_EMPTY=#GG0000|refused|GLIMMER_BAR_EMPTY"
    "bad colour in the file|-DGLIMMER_THEME=${WORK}/bad.cmake|refused|GLIMMER_TEXT_COLOUR"
    "missing file|-DGLIMMER_THEME=${WORK}/none.cmake|refused|does not exist"
    "bar below the screen|-DGLIMMER_BAR_POSITION=0.95|refused|puts the bar outside the screen"
    "bar at the bottom|-DGLIMMER_BAR_POSITION=1/1|refused|puts the bar outside the screen"
    "bar at the top|-DGLIMMER_BAR_POSITION=0|refused|is not a share"
    "no room for the message|-DGLIMMER_BAR_POSITION=1/50|refused|puts the bar outside the screen"
    "zero denominator|-DGLIMMER_BAR_POSITION=1/0|refused|puts the bar outside the screen"
    "share as a word|-DGLIMMER_BAR_POSITION=low|refused|is not a share"
    "scale 4|-DGLIMMER_SCALE=4|refused|GLIMMER_SCALE: \"4\" is no scale")

set(failures 0)
set(n 0)
foreach(case ${cases})
    string(REPLACE "|" ";" fields "${case}")
    list(GET fields 0 name)
    list(GET fields 1 arguments)
    list(GET fields 2 outcome)
    list(GET fields 3 want)
    string(REPLACE "," ";" arguments "${arguments}")
    math(EXPR n "${n} + 1")
    set(header ${WORK}/theme${n}.h)
    execute_process(COMMAND ${CMAKE_COMMAND} ${arguments} -DOUT=${header}
                            -P ${CMAKE_CURRENT_LIST_DIR}/resolve.cmake
                    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(outcome STREQUAL "ok")
        set(text "")
        if(EXISTS ${header})
            file(READ ${header} text)
        endif()
        string(FIND "${text}" "${want}" at)
        if(NOT rc EQUAL 0 OR at EQUAL -1)
            message(SEND_ERROR "${name}: want a header with \"${want}\"; status ${rc}: ${err}")
            math(EXPR failures "${failures} + 1")
        endif()
    else()
        # CMake wraps long messages: compare with the blanks folded.
        string(REGEX REPLACE "[ \n]+" " " err "${err}")
        string(FIND "${err}" "${want}" at)
        if(rc EQUAL 0 OR at EQUAL -1 OR EXISTS ${header})
            message(SEND_ERROR "${name}: want a refusal saying \"${want}\"; status ${rc}: ${err}")
            math(EXPR failures "${failures} + 1")
        endif()
    endif()
endforeach()
message(STATUS "${n} themes, ${failures} failed")

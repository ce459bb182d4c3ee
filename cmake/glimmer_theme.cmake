# The screen's theme: colours, the bar's place and the scale, fixed at build
# time and written into a generated header (assets/theme.h).
#
# A theme file (GLIMMER_THEME) sets any of the variables below with set();
# a variable given on the command line (-DGLIMMER_BAR_FILL=#203040) wins over
# the file, and what neither sets keeps today's look. Colours are #RRGGBB.
#
#   GLIMMER_BACKGROUND      the screen behind everything          #FFFFFF
#   GLIMMER_BAR_FILL        the filled part of the bar            #6D6D70
#   GLIMMER_BAR_EMPTY       the empty part of the bar             #ECECE1
#   GLIMMER_FRAME_OUTLINE   the bar frame's outline               #6D6D70
#   GLIMMER_FRAME_INSIDE    the frame's inside (under the bar)    #ECECE1
#   GLIMMER_FRAME_CORNER    outside the frame's rounded corners   #ECECE1
#   GLIMMER_TEXT_COLOUR     the message text                      #6D6D70
#   GLIMMER_BAR_POSITION    the bar's top edge as a share of the screen height,
#                           from the top: a fraction (5/6) or a decimal (0.8)  5/6
#   GLIMMER_SCALE           1, 2, 3 or auto: the bar, its frame and the text   1
#
# Used by the build (include, then glimmer_theme_resolve) and by the theme
# test, which runs tests/theme/resolve.cmake with cmake -P.

set(GLIMMER_THEME_COLOURS BACKGROUND BAR_FILL BAR_EMPTY FRAME_OUTLINE FRAME_INSIDE FRAME_CORNER
    TEXT_COLOUR)
set(GLIMMER_THEME_SETTINGS ${GLIMMER_THEME_COLOURS} BAR_POSITION SCALE)

set(glimmer_theme_default_BACKGROUND "#FFFFFF")
set(glimmer_theme_default_BAR_FILL "#6D6D70")
set(glimmer_theme_default_BAR_EMPTY "#ECECE1")
set(glimmer_theme_default_FRAME_OUTLINE "#6D6D70")
set(glimmer_theme_default_FRAME_INSIDE "#ECECE1")
set(glimmer_theme_default_FRAME_CORNER "#ECECE1")
set(glimmer_theme_default_TEXT_COLOUR "#6D6D70")
set(glimmer_theme_default_BAR_POSITION "5/6")
set(glimmer_theme_default_SCALE "1")

# The screen size the scene is designed for, and the sizes that must fit in it.
set(GLIMMER_REFERENCE_HEIGHT 480)
set(glimmer_frame_height 28)
set(glimmer_text_height 12)

# "#RRGGBB" into "r, g, b" (decimal), or a refusal that names the setting.
function(glimmer_theme_colour name value out)
    if(NOT value MATCHES "^#?([0-9A-Fa-f][0-9A-Fa-f])([0-9A-Fa-f][0-9A-Fa-f])([0-9A-Fa-f][0-9A-Fa-f])$")
        message(FATAL_ERROR "GLIMMER_${name}: \"${value}\" is not a colour; write it as #RRGGBB, "
                "for instance #6D6D70")
    endif()
    set(channels "")
    foreach(hex ${CMAKE_MATCH_1} ${CMAKE_MATCH_2} ${CMAKE_MATCH_3})
        math(EXPR v "0x${hex}")
        list(APPEND channels ${v})
    endforeach()
    list(JOIN channels ", " text)
    set(${out} "${text}" PARENT_SCOPE)
    string(TOUPPER "${CMAKE_MATCH_1}${CMAKE_MATCH_2}${CMAKE_MATCH_3}" hex)
    set(${out}_hex "${hex}" PARENT_SCOPE)
endfunction()

# The bar position as numerator and denominator, checked against the
# reference screen: the message line above the bar and the whole frame must
# lie on it.
function(glimmer_theme_bar_position value num_out den_out)
    if(value MATCHES "^([0-9]+)/([0-9]+)$")
        set(num ${CMAKE_MATCH_1})
        set(den ${CMAKE_MATCH_2})
    elseif(value MATCHES "^0?\\.([0-9]+)$")
        set(num ${CMAKE_MATCH_1})
        string(LENGTH "${num}" digits)
        string(REPEAT "0" ${digits} zeros)
        set(den "1${zeros}")
    else()
        message(FATAL_ERROR "GLIMMER_BAR_POSITION: \"${value}\" is not a share of the screen "
                "height; write a fraction such as 5/6 or a decimal such as 0.8")
    endif()
    string(LENGTH "${num}${den}" digits)
    if(digits GREATER 9)
        message(FATAL_ERROR "GLIMMER_BAR_POSITION: \"${value}\" has too many digits")
    endif()
    math(EXPR num "${num}")
    math(EXPR den "${den}")
    set(H ${GLIMMER_REFERENCE_HEIGHT})
    set(top 0)
    if(den GREATER 0)
        # The layout's own arithmetic: the bar's top is H - H * (den - num) / den.
        math(EXPR top "${H} - ${H} * (${den} - ${num}) / ${den}")
    endif()
    math(EXPR lowest "${H} - ${glimmer_frame_height}")
    if(den EQUAL 0 OR num GREATER_EQUAL den OR top LESS glimmer_text_height OR
       top GREATER lowest)
        message(FATAL_ERROR "GLIMMER_BAR_POSITION: ${value} puts the bar outside the screen: on "
                "a screen ${H} rows high the message line (${glimmer_text_height} rows) above the "
                "bar and its frame (${glimmer_frame_height} rows) must fit, which takes a share "
                "between 0.025 and 0.94")
    endif()
    set(${num_out} ${num} PARENT_SCOPE)
    set(${den_out} ${den} PARENT_SCOPE)
endfunction()

# Reads the theme (file, then single settings), checks every setting and
# writes the header to `header`. Sets GLIMMER_THEME_<setting> in the caller
# for every setting as resolved, and GLIMMER_THEME_<colour>_hex.
function(glimmer_theme_resolve header)
    if(GLIMMER_THEME)
        if(NOT EXISTS "${GLIMMER_THEME}")
            message(FATAL_ERROR "GLIMMER_THEME: ${GLIMMER_THEME} does not exist")
        endif()
        # The file's set() calls land in this function's scope only; keep what
        # the command line gave apart from them.
        foreach(s ${GLIMMER_THEME_SETTINGS})
            set(given_${s} "${GLIMMER_${s}}")
            unset(GLIMMER_${s})
        endforeach()
        include("${GLIMMER_THEME}")
        foreach(s ${GLIMMER_THEME_SETTINGS})
            set(file_${s} "${GLIMMER_${s}}")
        endforeach()
    else()
        foreach(s ${GLIMMER_THEME_SETTINGS})
            set(given_${s} "${GLIMMER_${s}}")
            set(file_${s} "")
        endforeach()
    endif()
    foreach(s ${GLIMMER_THEME_SETTINGS})
        if(NOT "${given_${s}}" STREQUAL "")
            set(v_${s} "${given_${s}}")
        elseif(NOT "${file_${s}}" STREQUAL "")
            set(v_${s} "${file_${s}}")
        else()
            set(v_${s} "${glimmer_theme_default_${s}}")
        endif()
        set(GLIMMER_THEME_${s} "${v_${s}}" PARENT_SCOPE)
    endforeach()

    set(lines "")
    foreach(c ${GLIMMER_THEME_COLOURS})
        glimmer_theme_colour(${c} "${v_${c}}" rgb)
        set(GLIMMER_THEME_${c}_hex ${rgb_hex} PARENT_SCOPE)
        string(APPEND lines "static constexpr ThemeColour THEME_${c} = {${rgb}};\n")
    endforeach()
    glimmer_theme_bar_position("${v_BAR_POSITION}" num den)
    string(TOLOWER "${v_SCALE}" scale)
    if(scale STREQUAL "auto")
        set(scale 0)
    elseif(NOT scale MATCHES "^[123]$")
        message(FATAL_ERROR "GLIMMER_SCALE: \"${v_SCALE}\" is no scale; use 1, 2, 3 or auto")
    endif()

    file(CONFIGURE OUTPUT "${header}" @ONLY CONTENT
"// The build's theme, generated by cmake/glimmer_theme.cmake; do not edit.
#pragma once

#include <cstdint>

struct ThemeColour {
    uint8_t r, g, b;
};

@lines@
// The bar's top edge lies at this share of the screen height; the picture is
// centred in the part above it.
enum { THEME_BAR_POSITION_NUM = @num@, THEME_BAR_POSITION_DEN = @den@ };

// The scale of the bar, its frame and the text; 0 is the largest whole factor
// that keeps 800 x 480 within the screen.
enum { THEME_SCALE = @scale@ };
")
endfunction()

# Resolves a theme as the build does and writes its header:
#   cmake [-DGLIMMER_THEME=FILE] [-DGLIMMER_<setting>=VALUE]... -DOUT=theme.h -P resolve.cmake
cmake_minimum_required(VERSION 3.20)
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/glimmer_theme.cmake)
glimmer_theme_resolve(${OUT})

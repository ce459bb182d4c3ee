# A dark theme for the custom build: light bar on a dark screen, the bar
# higher up, and the scale chosen by the screen size.
set(GLIMMER_BACKGROUND "#101418")
set(GLIMMER_BAR_FILL "#3A7BD5")
set(GLIMMER_BAR_EMPTY "#2A3038")
set(GLIMMER_FRAME_OUTLINE "#8A95A5")
set(GLIMMER_FRAME_INSIDE "#2A3038")
set(GLIMMER_FRAME_CORNER "#101418")
set(GLIMMER_TEXT_COLOUR "#E0E6EE")
set(GLIMMER_BAR_POSITION 0.75)
set(GLIMMER_SCALE auto)

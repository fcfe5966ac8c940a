# The Win32 layer against a COM port of Wine's; the rig is set up by
# tools/wine-tests.sh, and without it the cases skip.
if(WIN32)
  ksidu_add_gtest(ksidu_win32_layer_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/Win32LayerTest.cpp
    LIBS ksidu_comm
    LABELS threads)
endif()

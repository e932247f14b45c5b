# The custom button and the three custom looks.
add_library(ktr_ui_parts STATIC
  ${CMAKE_CURRENT_SOURCE_DIR}/Common/AlineButton.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/Common/CustomLookAndFeel.cpp)
target_include_directories(ktr_ui_parts PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/Common)
target_link_libraries(ktr_ui_parts PUBLIC ktr_juce)
ktr_warnings(ktr_ui_parts)

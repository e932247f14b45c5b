# Texts, languages and the built-in image: resources, loaders and the language table.
set(KTR_BINARY_DIR ${CMAKE_CURRENT_SOURCE_DIR}/Binary)
set(KTR_GENERATED_DIR ${CMAKE_CURRENT_BINARY_DIR}/generated)
file(GLOB KTR_BINARY_RESOURCES CONFIGURE_DEPENDS ${KTR_BINARY_DIR}/*.txt ${KTR_BINARY_DIR}/*.png)

add_custom_command(
  OUTPUT ${KTR_GENERATED_DIR}/Binary.h ${KTR_GENERATED_DIR}/Binary.cpp
  COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${KTR_BINARY_DIR} -DOUTPUT_DIR=${KTR_GENERATED_DIR}
          -P ${KTR_BINARY_DIR}/BinaryGen.cmake
  DEPENDS ${KTR_BINARY_DIR}/BinaryGen.cmake ${KTR_BINARY_RESOURCES}
  COMMENT "Generating the built-in resources"
  VERBATIM)

add_library(ktr_text STATIC
  ${KTR_GENERATED_DIR}/Binary.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/Common/Table.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/Mac/Loader/TxtLoader.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/Mac/Loader/ImageLoader.cpp)
target_include_directories(ktr_text PUBLIC
  ${CMAKE_CURRENT_SOURCE_DIR}/Common
  ${CMAKE_CURRENT_SOURCE_DIR}/Mac/Loader
  ${KTR_GENERATED_DIR})
target_link_libraries(ktr_text PUBLIC ktr_platform ktr_juce PRIVATE ktr_lenient_utf8)
ktr_warnings(ktr_text)

# The fuzzers are configured in another directory scope.
set_property(GLOBAL APPEND PROPERTY KTR_FUZZ_EXTRA_LIBS ktr_text)

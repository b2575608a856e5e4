# add_fmu(NAME name SOURCE file.c XML modelDescription.xml MODEL_ID id OUTPUT_DIR dir
#         [PLATFORM folder] [DEFINITIONS ...] [LIBRARIES ...] [NO_BUILD_RPATH])
# Builds the C source as an FMU's shared library and zips it with its model description into
# OUTPUT_DIR/name.fmu, as an exporting tool would: file entries only, no folder entries.
function(add_fmu)
  cmake_parse_arguments(FMU "NO_BUILD_RPATH" "NAME;SOURCE;XML;MODEL_ID;OUTPUT_DIR;PLATFORM"
                        "DEFINITIONS;LIBRARIES" ${ARGN})
  if(NOT FMU_PLATFORM)
    set(FMU_PLATFORM linux64)
  endif()
  set(library fmu_${FMU_NAME}_binary)
  add_library(${library} SHARED ${FMU_SOURCE})
  target_include_directories(${library} PRIVATE ${PROJECT_SOURCE_DIR}/apps/nalto-fmu-sim)
  target_compile_definitions(${library} PRIVATE ${FMU_DEFINITIONS})
  target_compile_options(${library} PRIVATE -Wall -Wextra -Werror)
  target_link_libraries(${library} PRIVATE m ${FMU_LIBRARIES})
  set_target_properties(${library} PROPERTIES PREFIX "" OUTPUT_NAME ${FMU_MODEL_ID}
                        LIBRARY_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/${FMU_NAME}.lib)
  if(FMU_NO_BUILD_RPATH)
    set_target_properties(${library} PROPERTIES SKIP_BUILD_RPATH ON)
  endif()

  set(stage ${CMAKE_CURRENT_BINARY_DIR}/${FMU_NAME}.stage)
  set(fmu ${FMU_OUTPUT_DIR}/${FMU_NAME}.fmu)
  set(binary binaries/${FMU_PLATFORM}/${FMU_MODEL_ID}.so)
  add_custom_command(
    OUTPUT ${fmu}
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${stage} ${fmu}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${stage}/binaries/${FMU_PLATFORM} ${FMU_OUTPUT_DIR}
    COMMAND ${CMAKE_COMMAND} -E copy ${FMU_XML} ${stage}/modelDescription.xml
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${library}> ${stage}/${binary}
    COMMAND ${CMAKE_COMMAND} -E chdir ${stage} ${CMAKE_COMMAND} -E tar cf ${fmu} --format=zip
            modelDescription.xml ${binary}
    DEPENDS ${library} ${FMU_XML}
    COMMENT "Zipping ${FMU_NAME}.fmu"
    VERBATIM)
  add_custom_target(fmu_${FMU_NAME} ALL DEPENDS ${fmu})
endfunction()

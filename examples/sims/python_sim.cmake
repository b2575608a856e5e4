# A Python sim's runnable folder in the build, build/examples/sims/FOLDER: its sim.py and sim.json beside
# a copy of the nalto_sim library, so that the folder runs as it is, without PYTHONPATH.
file(GLOB NALTO_SIM_LIBRARY CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/python/nalto_sim/*.py)

function(nalto_python_sim target folder)
  set(out ${CMAKE_BINARY_DIR}/examples/sims/${folder})
  set(copies)
  foreach(file ${NALTO_SIM_LIBRARY})
    get_filename_component(name ${file} NAME)
    add_custom_command(
      OUTPUT ${out}/nalto_sim/${name}
      COMMAND ${CMAKE_COMMAND} -E copy ${file} ${out}/nalto_sim/${name}
      DEPENDS ${file}
      VERBATIM)
    list(APPEND copies ${out}/nalto_sim/${name})
  endforeach()
  foreach(file sim.py sim.json)
    add_custom_command(
      OUTPUT ${out}/${file}
      COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_SOURCE_DIR}/${file} ${out}/${file}
      DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${file}
      VERBATIM)
    list(APPEND copies ${out}/${file})
  endforeach()
  add_custom_target(${target} ALL DEPENDS ${copies})
endfunction()

# nalto_page_files(OUTPUT): the custom command that writes OUTPUT, the C++ source holding the evidence
# page's files (Debian's dygraphs, the page's template, script and style), for every build of the node.
set(NALTO_DYGRAPHS_DIR /usr/share/javascript/dygraphs CACHE PATH "Debian's libjs-dygraphs")

function(nalto_page_files output)
  set(page ${PROJECT_SOURCE_DIR}/apps/nalto-compute-node/page)
  set(files
      dygraphs_js=${NALTO_DYGRAPHS_DIR}/dygraph.min.js dygraphs_css=${NALTO_DYGRAPHS_DIR}/dygraph.min.css
      template=${page}/page.html script=${page}/page.js style=${page}/page.css)
  set(depends)
  foreach(entry ${files})
    string(REGEX REPLACE "^[a-z_]+=" "" path "${entry}")
    if(NOT EXISTS ${path})
      message(FATAL_ERROR "${path} is missing: run scripts/bootstrap (it installs libjs-dygraphs)")
    endif()
    list(APPEND depends ${path})
  endforeach()
  string(REPLACE ";" "|" files_arg "${files}")
  set(script ${PROJECT_SOURCE_DIR}/apps/nalto-compute-node/embed_page.cmake)
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} "-DFILES=${files_arg}" -DOUTPUT=${output} -P ${script}
    DEPENDS ${depends} ${script}
    VERBATIM)
endfunction()

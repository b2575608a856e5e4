# A Python sim's runnable folder in the build, build/examples/sims/FOLDER: its sim.py and sim.json beside
# the Python code of the sim protocol and of the health service, made by one protoc run as the README
# tells a user to. The health service is generated from its own folder, as the top-level module
# health_pb2: under its full path it would be a package named grpc, which hides grpcio's. Its proto
# package, and so the service's name on the wire, stays grpc.health.v1.
find_program(NALTO_GRPC_PYTHON_PLUGIN grpc_python_plugin REQUIRED)

function(nalto_python_sim target folder)
  set(out ${CMAKE_BINARY_DIR}/examples/sims/${folder})
  set(health_dir ${NALTO_GRPC_PROTO_DIR}/grpc/health/v1)
  set(stubs ${out}/sim_pb2.py ${out}/sim_pb2_grpc.py ${out}/health_pb2.py ${out}/health_pb2_grpc.py)
  add_custom_command(
    OUTPUT ${stubs}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${out}
    COMMAND ${Protobuf_PROTOC_EXECUTABLE} -I ${NALTO_PROTO_DIR} -I ${health_dir} --python_out=${out}
            --grpc_python_out=${out} --plugin=protoc-gen-grpc_python=${NALTO_GRPC_PYTHON_PLUGIN}
            ${NALTO_PROTO_DIR}/sim.proto ${health_dir}/health.proto
    DEPENDS ${NALTO_PROTO_DIR}/sim.proto ${health_dir}/health.proto
    COMMENT "Generating the Python code of the sim protocol for ${folder}"
    VERBATIM)

  set(copies)
  foreach(file sim.py sim.json)
    add_custom_command(
      OUTPUT ${out}/${file}
      COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_SOURCE_DIR}/${file} ${out}/${file}
      DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${file}
      VERBATIM)
    list(APPEND copies ${out}/${file})
  endforeach()

  add_custom_target(${target} ALL DEPENDS ${stubs} ${copies})
endfunction()

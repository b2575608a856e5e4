"""The library describes the protocol's messages and services itself: they must be protoc's own."""

import subprocess

import pytest
from google.protobuf import descriptor_pb2

from conftest import REPOSITORY
from nalto_sim import _protocol

HEALTH_FOLDER = "/usr/share/grpc-proto/grpc/health/v1"


def protoc_reading(folder, name, tmp_path):
    out = tmp_path / f"{name}.pb"
    subprocess.run(["protoc", "-I", folder, f"--descriptor_set_out={out}", f"{folder}/{name}"], check=True,
                   timeout=30)
    file = descriptor_pb2.FileDescriptorSet.FromString(out.read_bytes()).file[0]
    file.ClearField("options")  # other languages' options
    for message in file.message_type:
        for field in message.field:
            field.ClearField("json_name")  # derived from the name
    return file


@pytest.mark.parametrize("folder, name, ours", [
    (str(REPOSITORY / "runtime/proto"), "sim.proto", _protocol.sim_file),
    (HEALTH_FOLDER, "health.proto", _protocol.health_file),
])
def test_the_library_describes_the_protocol_as_protoc_reads_it(tmp_path, folder, name, ours):
    assert ours() == protoc_reading(folder, name, tmp_path)

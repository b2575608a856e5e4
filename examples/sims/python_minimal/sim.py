"""The smallest sim of the protocol: a tank whose level rises by the inflow of each step."""

import argparse, json, logging, signal
from concurrent import futures

import grpc
import health_pb2, health_pb2_grpc, sim_pb2, sim_pb2_grpc  # generated: see the README

MAPPINGS = {"sensor_space": {"mappings": [{"name": "[0]", "name_mapped": "Level"}]},
            "action_space": {"mappings": [{"name": "[0]", "name_mapped": "Inflow"}]}}
LEVEL = {"type": "box", "shape": [1], "low": 0.0, "high": 1e9, "dtype": "float64", "names": ["Level"]}
INFLOW = {"type": "box", "shape": [1], "low": 0.0, "high": 10.0, "dtype": "float64", "names": ["Inflow"]}


def answer(value):
    return sim_pb2.JsonValue(json=json.dumps(value))


class Tank(sim_pb2_grpc.SimulatorServicer):
    level = 0.0

    def Init(self, request, context): return sim_pb2.Empty()
    def Make(self, request, context): return sim_pb2.Empty()
    def GetMappings(self, request, context): return answer(MAPPINGS)
    def SensorSpaceInfo(self, request, context): return answer(LEVEL)
    def ActionSpaceInfo(self, request, context): return answer(INFLOW)
    def Close(self, request, context): return sim_pb2.Empty()

    def Reset(self, request, context):
        self.level = 0.0
        return answer([[self.level], {}])

    def Step(self, request, context):
        self.level += float(json.loads(request.json)[0])
        return answer([[self.level], 0.0, False, False, {}])


class Health(health_pb2_grpc.HealthServicer):
    def Check(self, request, context):
        return health_pb2.HealthCheckResponse(status=health_pb2.HealthCheckResponse.SERVING)


def main():
    logging.basicConfig()  # so that a failing call's traceback reaches the tool
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", required=True)  # the tool passes --host localhost --port PORT
    parser.add_argument("--port", type=int, required=True)
    args = parser.parse_args()
    server = grpc.server(futures.ThreadPoolExecutor(max_workers=1))
    sim_pb2_grpc.add_SimulatorServicer_to_server(Tank(), server)
    health_pb2_grpc.add_HealthServicer_to_server(Health(), server)
    server.add_insecure_port(f"{args.host}:{args.port}")
    server.start()
    signal.signal(signal.SIGTERM, lambda *_: server.stop(0))
    server.wait_for_termination()


main()

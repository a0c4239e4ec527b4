// Remote server figures. Without arguments: Google Benchmark runs of the wire code (HTTP request
// reading, WebSocket frame parsing) over memory connections. With --serve PORT WEBROOT
// [STATE_BYTES]: runs a loopback-only server with a small control handler until SIGINT or
// SIGTERM, for scripts/bench-remote and bench/lan-latency to drive with wrk and WebSocket
// clients; it prints "ready <port>" once listening and its CPU time on exit. STATE_BYTES pads
// the control state to about that size (a 32-strip console's state is about 23 KB).
#include "remote/http_request.h"
#include "remote/memory_connection.h"
#include "remote/remote_server.h"
#include "remote/web_socket_frame.h"

#include <benchmark/benchmark.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

namespace {

using namespace kestravon::ruvi;

void BM_ReadHttpRequest(benchmark::State& state) {
    const std::string raw = "POST /api/rpc HTTP/1.1\r\nHost: 192.168.1.20:8080\r\n"
                            "Content-Type: application/json\r\nAuthorization: Bearer " +
                            std::string(64, 'a') + "\r\nContent-Length: 50\r\n\r\n" +
                            std::string(R"({"id":1,"method":"setParameter","params":{"v":1}} )");
    for (auto _ : state) {
        MemoryConnection connection;
        connection.pushInput(raw);
        HttpRequest request;
        benchmark::DoNotOptimize(readHttpRequest(connection, request, nullptr));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReadHttpRequest);

void BM_FrameReader(benchmark::State& state) {
    const std::string payload = R"({"type":"rpc","id":7,"method":"setParameter","params":{}})";
    std::string frame = "\x81";
    frame.push_back(static_cast<char>(0x80 | payload.size()));
    frame += std::string("\x01\x02\x03\x04", 4);
    for (std::size_t i = 0; i < payload.size(); ++i) {
        frame.push_back(static_cast<char>(payload[i] ^ (1 + i % 4)));
    }
    WebSocketFrameReader reader;
    for (auto _ : state) {
        (void)reader.append(frame.data(), frame.size());
        benchmark::DoNotOptimize(reader.next());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FrameReader);

std::size_t statePadding = 0;

nlohmann::json benchHandler(const nlohmann::json& request) {
    const std::string method = request.value("method", std::string());
    if (method == "getControlState") {
        nlohmann::json result = {{"revision", 1},
                                 {"audio", {{"running", true}, {"sampleRate", 48000}}},
                                 {"meters", nlohmann::json::array()}};
        for (int i = 0; i < 32; ++i) {
            result["meters"].push_back({{"id", "in" + std::to_string(i)}, {"peak", -18.5}});
        }
        result["uiState"] = {{"strips", {{"in1", "Vox"}}}};
        if (statePadding > 0) {
            result["padding"] = std::string(statePadding, 'x');
        }
        return {{"id", request.value("id", 0)}, {"ok", true}, {"result", result}};
    }
    return {{"id", request.value("id", 0)}, {"ok", true}, {"result", nlohmann::json::object()}};
}

int serve(unsigned port, const char* webRoot) {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    RemoteServer server;
    std::string error;
    if (!server.enable(webRoot, "bench-password", port, benchHandler, error, true)) {
        std::fprintf(stderr, "enable failed: %s\n", error.c_str());
        return 1;
    }
    std::printf("ready %u\n", server.status()["port"].get<unsigned>());
    std::fflush(stdout);
    int received = 0;
    sigwait(&signals, &received);
    server.disable();
    timespec cpu{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu);
    std::printf("cpu %.3f\n", static_cast<double>(cpu.tv_sec) + cpu.tv_nsec / 1e9);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if ((argc == 4 || argc == 5) && std::strcmp(argv[1], "--serve") == 0) {
        if (argc == 5) {
            statePadding = static_cast<std::size_t>(std::stoul(argv[4]));
        }
        return serve(static_cast<unsigned>(std::stoul(argv[2])), argv[3]);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
